#include "machine_setup.h"
#include "sim_fixture.h"

#include "exports/entry_points.h"

using Names = std::vector<std::string>;

namespace {

constexpr const char* kEnglish = setup::kUninstallEntry;
constexpr const char* kGerman = setup::kGermanUninstallEntry;
constexpr const char* kUninstaller = setup::kOldUninstaller;

class OldOemPackageTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        winsim::AddFile(kUninstaller);
    }

    // The application name and command line of the one CreateProcessA attempt.
    static Names Attempt() {
        auto calls = winsim::CallsTo("CreateProcessA");
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? Names{} : Names{calls[0].args[0], calls[0].args[1]};
    }
};

TEST_F(OldOemPackageTest, BuildsProgramAndCommandLineFromTheUninstallString) {
    struct Case {
        std::string uninstallString, program, commandLine;
        UINT result;
    };
    const Case cases[] = {
        {"\"C:\\Old\\uninst.exe\" /U \"C:\\Old\\install.log\"", kUninstaller,
         "\" /U \" /S \"C:\\Old\\install.log\"", 0},
        {"\"C:\\Old\\uninst.exe\"", kUninstaller, "", 0},
        {"\"C:\\Old\\uninst.exe\" \"C:\\Old\\install.log\"", kUninstaller,
         "\" \"\"C:\\Old\\install.log\"", 0},
        // "/" separates: no folder "C:\Old\uninst.exe " holds a program "U".
        {"C:\\Old\\uninst.exe /U", "C:\\Old\\uninst.exe /U", " /S ", ERROR_PATH_NOT_FOUND},
        {"\"C:\\Old\\uninst.exe\"/U\"x\"/U\"/u\"", kUninstaller, "\"/U\" /S \"x\"\"/U\" /S \"/u\"",
         0},
        {"\"\"C:\\Old\\/Uninst.exe\"\"", "C:\\Old\\/Uninst.exe", " /S ", 0},  // C:\Old\uninst.exe
    };
    for (const Case& c : cases) {
        winsim::Reset();
        winsim::AddFile(kUninstaller);
        winsim::SetString(kEnglish, "UninstallString", c.uninstallString);
        EXPECT_EQ(CA_UninstallOldZuraOem(0), c.result) << c.uninstallString;
        EXPECT_EQ(Attempt(), (Names{c.program, c.commandLine})) << c.uninstallString;
        EXPECT_EQ(winsim::CallsTo("CreateProcessA")[0].args[5], winsim::Num(CREATE_NO_WINDOW));
        if (c.result == ERROR_SUCCESS) {
            EXPECT_EQ(winsim::CallsTo("WaitForSingleObject")[0].args[1], winsim::Num(INFINITE));
        }
        // The entry stays open while the uninstaller runs.
        EXPECT_EQ(winsim::CallNames().back(), "RegCloseKey");
    }
}

TEST_F(OldOemPackageTest, ReadsTheEnglishEntryFirstAndTheGermanOnlyWhenItIsMissing) {
    winsim::SetString(kGerman, "UninstallString", "\"C:\\Old\\uninst.exe\" /U");
    EXPECT_EQ(CA_UninstallOldZuraOem(0), 0u);
    auto opens = winsim::CallsTo("RegOpenKeyExA");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].args, (Names{"HKLM", kEnglish, "0", winsim::Num(0x20019), "ptr"}));
    EXPECT_EQ(opens[1].args[1], kGerman);
    auto query = winsim::CallsTo("RegQueryValueExA")[0].args;
    EXPECT_EQ(Names(query.begin() + 1, query.end()),
              (Names{"UninstallString", "null", "ptr", "ptr", "255"}));

    // With both present only the English one counts, even without a usable string.
    winsim::CreateKey(kEnglish);
    winsim::ClearCalls();
    EXPECT_EQ(CA_UninstallOldZuraOem(0), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 1u);
    EXPECT_EQ(winsim::CountCalls("CreateProcessA"), 0u);
}

TEST_F(OldOemPackageTest, NoEntryReturnsTheGermanAttemptsCode) {
    EXPECT_EQ(CA_UninstallOldZuraOem(0), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
    winsim::FailCall("RegOpenKeyExA", {ERROR_ACCESS_DENIED, 2});
    EXPECT_EQ(CA_UninstallOldZuraOem(0), static_cast<UINT>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(winsim::CountCalls("CreateProcessA"), 0u);
}

TEST_F(OldOemPackageTest, UninstallerThatCannotStartIsNeverSuccess) {
    winsim::SetString(kEnglish, "UninstallString", "\"C:\\Old\\uninst.exe\" /U");
    for (DWORD error : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_SUCCESS}}) {
        winsim::FailCall("CreateProcessA", {error});
        EXPECT_EQ(CA_UninstallOldZuraOem(0),
                  error == ERROR_SUCCESS ? static_cast<UINT>(ERROR_GEN_FAILURE) : error);
    }
    EXPECT_TRUE(winsim::Launches().empty());
}

TEST_F(OldOemPackageTest, ProgramIsTheFirstTokenAsReadInTheSystemCodePage) {
    winsim::SetCodePage(932);
    // 0x81 0x22 is a lead byte with a quotation mark as its trail byte: one character.
    const std::pair<std::string, Names> cases[] = {
        {"\x81\x22", {"\x81\x22", ""}},
        {"\"\x81\x22\" /U", {"\x81\x22", "\" /U\" /S "}},
        {"\"C:\\\x81", {"C:\\\x81", ""}},  // a lead byte at the very end is a byte alone
    };
    for (const auto& [uninstallString, attempt] : cases) {
        winsim::ClearCalls();
        winsim::SetString(kEnglish, "UninstallString", uninstallString);
        CA_UninstallOldZuraOem(0);
        EXPECT_EQ(Attempt(), attempt);
    }
}

TEST_F(OldOemPackageTest, ReadsAtMost254BytesOfText) {
    const std::string head = "\"C:\\Old\\uninst.exe\" \"";
    std::string longest = head + std::string(254 - head.size() - 1, 'x') + "\"";
    ASSERT_EQ(longest.size(), 254u);
    winsim::SetString(kEnglish, "UninstallString", longest);
    EXPECT_EQ(CA_UninstallOldZuraOem(0), 0u);

    winsim::SetString(kEnglish, "UninstallString", longest + "x");
    EXPECT_EQ(CA_UninstallOldZuraOem(0), static_cast<UINT>(ERROR_MORE_DATA));
    EXPECT_EQ(winsim::Launches().size(), 1u);
}

TEST_F(OldOemPackageTest, UsesExpandableStringsUnexpandedAndStopsAtTheFirstNul) {
    winsim::SetString(kEnglish, "UninstallString", "\"%ProgramFiles%\\Old\\uninst.exe\" /U",
                      REG_EXPAND_SZ);
    EXPECT_EQ(CA_UninstallOldZuraOem(0), static_cast<UINT>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Attempt(), (Names{"%ProgramFiles%\\Old\\uninst.exe", "\" /U\" /S "}));

    winsim::ClearCalls();
    winsim::SetValue(kEnglish, "UninstallString", REG_SZ,
                     {'"', 'C', ':', '\\', 'O', 'l', 'd', '\\', 'u', 'n', 'i', 'n',
                      's', 't', '.', 'e',  'x', 'e', '"', 0,    ' ', '/', 'U', 0});
    EXPECT_EQ(CA_UninstallOldZuraOem(0), 0u);
    EXPECT_EQ(Attempt(), (Names{kUninstaller, ""}));
}

TEST_F(OldOemPackageTest, RefusesUnusableUninstallStrings) {
    const std::vector<std::pair<DWORD, std::vector<BYTE>>> unusable = {
        {REG_BINARY, {'a', 0}},        // wrong type
        {REG_DWORD, {1, 0, 0, 0}},     // wrong type
        {REG_SZ, {'a', 'b'}},          // not terminated
        {REG_SZ, {}},                  // empty: no token
        {REG_SZ, {'"', '"', '"', 0}},  // quotation marks only: no token
    };
    for (const auto& [type, data] : unusable) {
        winsim::SetValue(kEnglish, "UninstallString", type, data);
        EXPECT_EQ(CA_UninstallOldZuraOem(0), static_cast<UINT>(ERROR_INVALID_DATA));
    }
    EXPECT_EQ(winsim::CountCalls("CreateProcessA"), 0u);
}

}  // namespace
