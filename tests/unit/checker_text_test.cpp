// The package checker's reading of a package's formatted values and of the paths it would read:
// a package chooses both, so both are read as hostile.
#include <gtest/gtest.h>

#include <string>

#include "formatted_text.h"

using zelk::checker::IsPlainFileName;
using zelk::checker::kMaxFormattedNesting;
using zelk::checker::MayReadInstalledFile;
using zelk::checker::PackageTables;
using zelk::checker::ResolveFormatted;

namespace {

TEST(CheckerTextTest, ReadsOnlyLocalFilesBelowStandardFolders) {
    struct Row {
        const char* path;
        bool readable;
    };
    const Row rows[] = {
        {"C:\\Program Files\\Zelk\\zelk_ca.dll", true},
        {"c:\\windows\\system32\\zelk_ca.dll", true},
        {"C:\\Program Files (x86)\\Zelk\\drivers\\a.dll", true},
        {"C:\\Program Files\\", false},
        {"C:\\Program Files\\Zelk\\", false},
        {"C:\\Zelk\\zelk_ca.dll", false},
        {"\\\\localhost\\zelkshare\\probe.dll", false},
        {"\\\\?\\C:\\Program Files\\zelk_ca.dll", false},
        {"\\\\.\\C:\\Program Files\\zelk_ca.dll", false},
        {"C:\\Program Files\\..\\..\\x.dll", false},
        {"C:\\Program Files\\Zelk\\.\\zelk_ca.dll", false},
        {"C:\\Program Files\\Zelk\\NUL", false},
        {"C:\\Program Files\\Zelk\\com1.dll", false},
        {"C:\\Program Files\\Zelk\\zelk_ca.dll:stream", false},
        {"C:\\Program Files\\Zelk/../x.dll", false},
        {"D:\\Program Files\\zelk_ca.dll", false},
        {"", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(MayReadInstalledFile(row.path), row.readable) << row.path;
    }
}

TEST(CheckerTextTest, TakesOnlyPlainNamesBesideThePackage) {
    for (const char* name : {"zelk_ca.dll", "a b.dll", "console.dll", "nul-not.dll"}) {
        EXPECT_TRUE(IsPlainFileName(name)) << name;
    }
    for (const char* name : {"", ".", "..", "a\\b.dll", "a/b.dll", "c:x.dll", "CON", "aux.txt",
                             "lpt9", "x.dll.", "x.dll ", "x\ty"}) {
        EXPECT_FALSE(IsPlainFileName(name)) << name;
    }
}

TEST(CheckerTextTest, StopsAtTheNestingLimit) {
    PackageTables tables;
    tables.properties["P"] = "v";
    const auto nested = [](int depth) {
        return std::string(static_cast<std::size_t>(depth), '[') + "P" +
               std::string(static_cast<std::size_t>(depth), ']');
    };
    // [[P]] is the property named by P's value: "v" names none.
    EXPECT_EQ(ResolveFormatted(tables, nested(1)).text, "v");
    EXPECT_FALSE(ResolveFormatted(tables, nested(kMaxFormattedNesting)).tooDeep);
    for (const int depth : {kMaxFormattedNesting + 1, 100000}) {
        const auto resolved = ResolveFormatted(tables, "a" + nested(depth));
        EXPECT_TRUE(resolved.tooDeep) << depth;
        EXPECT_FALSE(resolved.exact) << depth;
        EXPECT_EQ(resolved.text, "a") << depth;
    }
}

}  // namespace
