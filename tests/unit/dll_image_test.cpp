// The package checker's reading of a DLL stored in a package: the exports and version of a
// good image, and a clear reason, never a read past the bytes, for a damaged or hostile one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dll_image.h"

using zelk::checker::ReadDllImage;

namespace {

// Offsets in the image below.
constexpr std::size_t kFileHeader = 0x44;
constexpr std::size_t kOptionalHeader = 0x58;
constexpr std::size_t kSectionTable = kOptionalHeader + 0xF0;
constexpr std::size_t kRawData = 0x200;  // the one section, at address 0x1000
constexpr std::size_t kExports = kRawData;
constexpr std::size_t kResources = kRawData + 0x100;

void Put(std::string& image, std::size_t at, std::uint32_t value, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) {
        image[at + i] = static_cast<char>(value >> (8 * i));
    }
}

// A String of a version resource: lengths, type, key and value in UTF-16, each padded to 4.
std::string VersionString(const std::string& key, const std::string& value) {
    std::string text(6, '\0');
    for (const char c : key + '\0') {
        text += {c, '\0'};
    }
    text.resize((text.size() + 3) / 4 * 4, '\0');
    for (const char c : value + '\0') {
        text += {c, '\0'};
    }
    text.resize((text.size() + 3) / 4 * 4, '\0');
    Put(text, 0, static_cast<std::uint32_t>(text.size()), 2);
    Put(text, 2, static_cast<std::uint32_t>(value.size() + 1), 2);
    Put(text, 4, 1, 2);
    return text;
}

// A 64-bit DLL exporting two names, with a version resource that ends the file.
std::string GoodImage() {
    std::string image(kResources + 0x60, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Put(image, 0x3C, 0x40);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    Put(image, kFileHeader, 0x8664, 2);
    Put(image, kFileHeader + 2, 1, 2);               // sections
    Put(image, kFileHeader + 16, 0xF0, 2);           // optional header size
    Put(image, kFileHeader + 18, 0x2022, 2);         // a DLL
    Put(image, kOptionalHeader, 0x20B, 2);           // PE32+
    Put(image, kOptionalHeader + 108, 16);           // data directories
    Put(image, kOptionalHeader + 112, 0x1000);       // exports
    Put(image, kOptionalHeader + 112 + 16, 0x1100);  // resources
    Put(image, kSectionTable + 12, 0x1000);          // address
    Put(image, kSectionTable + 16, 0x400);           // raw size
    Put(image, kSectionTable + 20, kRawData);        // raw offset
    Put(image, kExports + 24, 2);                    // names
    Put(image, kExports + 32, 0x1040);               // name table
    Put(image, kExports + 0x40, 0x1060);
    Put(image, kExports + 0x44, 0x1080);
    image.replace(kExports + 0x60, 17, "CA_InstallDriver");
    image.replace(kExports + 0x80, 9, "CA_Other");
    // Type 16, name 1, language 0x409, each directory with one entry by id, then the data.
    for (std::size_t level = 0; level < 3; ++level) {
        Put(image, kResources + level * 0x18 + 14, 1, 2);
        Put(image, kResources + level * 0x18 + 16, level == 0 ? 16 : level == 1 ? 1 : 0x409);
        Put(image, kResources + level * 0x18 + 20,
            level < 2 ? 0x80000000 | (level + 1) * 0x18 : 0x48);
    }
    const std::string version =
        VersionString("OriginalFilename", "zelk_ca.dll") + VersionString("FileVersion", "1.2.3");
    Put(image, kResources + 0x48, 0x1160);
    Put(image, kResources + 0x4C, static_cast<std::uint32_t>(version.size()));
    image.resize(kRawData + 0x160);
    return image + version;
}

TEST(DllImage, ReadsTheExportsAndVersionOfAGoodImage) {
    std::string why;
    const auto image = ReadDllImage(GoodImage(), why);
    ASSERT_TRUE(image) << why;
    EXPECT_EQ(image->exports, (std::vector<std::string>{"CA_InstallDriver", "CA_Other"}));
    EXPECT_EQ(image->originalFilename, "zelk_ca.dll");
    EXPECT_EQ(image->internalName, "");
    EXPECT_EQ(image->fileVersion, "1.2.3");
}

// Every prefix of the image lacks a part the reader needs: none may read past its end.
TEST(DllImage, RefusesEveryTruncatedImage) {
    const std::string good = GoodImage();
    for (std::size_t size = 0; size < good.size(); ++size) {
        std::string why;
        EXPECT_FALSE(ReadDllImage(std::string_view(good).substr(0, size), why)) << size;
        EXPECT_FALSE(why.empty()) << size;
    }
}

struct DamageRow {
    const char* damage;
    std::size_t at;
    std::uint32_t value;
    int bytes;
    const char* why;
};

const DamageRow kDamages[] = {
    {"no MZ", 0, 'X', 1, "no program image"},
    {"PE header beyond the file", 0x3C, 0xFFFFFFF0, 4, "ends inside its PE header"},
    {"a program", kFileHeader + 18, 0x0022, 2, "a program, not a DLL"},
    {"unknown optional header", kOptionalHeader, 0x10C, 2, "no known kind"},
    {"too many sections", kFileHeader + 2, 0xFFFF, 2, "more sections"},
    {"one section more than a DLL has", kFileHeader + 2, 97, 2, "more sections"},
    {"as many sections as a DLL may have", kFileHeader + 2, 96, 2, "ends inside its section table"},
    {"section table beyond the file", kFileHeader + 16, 0xF000, 2, "ends inside its section table"},
    {"directories beyond the header", kOptionalHeader + 108, 0x10000000, 4, "overrun"},
    {"name table outside the sections", kExports + 32, 0x7FFFFFF0, 4, "outside its sections"},
    {"name table right after its section", kExports + 32, 0x1400, 4, "outside its sections"},
    {"a count of names no DLL has", kExports + 24, 0xFFFFFFFF, 4, "claims 4294967295 names"},
    {"one name more than a DLL may have", kExports + 24, 4097, 4, "claims 4097 names"},
    {"as many names as a DLL may have", kExports + 24, 4096, 4, "ends inside its export name"},
    {"raw data beyond the file", kSectionTable + 20, 0x7FFFFF00, 4, "ends inside its export"},
    {"resource directory pointing at itself", kResources + 20, 0x80000000, 4, "not nested"},
    {"version larger than the file", kResources + 0x4C, 0xFFFFFFFF, 4, "ends inside its version"},
};

TEST(DllImage, NamesWhatIsWrongWithADamagedImage) {
    for (const DamageRow& row : kDamages) {
        std::string image = GoodImage();
        Put(image, row.at, row.value, row.bytes);
        std::string why;
        EXPECT_FALSE(ReadDllImage(image, why)) << row.damage;
        EXPECT_NE(why.find(row.why), std::string::npos) << row.damage << ": " << why;
    }
}

}  // namespace
