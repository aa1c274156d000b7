// Code pages and system texts: lead bytes, case mapping in 1252 and 932, FormatMessageA.
#include "conformance.h"

#include <string>

namespace conformance {
namespace {

struct Mapping {
    DWORD flags;
    std::string source;
    std::string expected;
};

void ExpectMappings(const std::initializer_list<Mapping>& rows) {
    for (const Mapping& row : rows) {
        char mapped[64] = {};
        SetLastError(kPoison);
        EXPECT_EQ(LCMapStringA(LOCALE_SYSTEM_DEFAULT, row.flags, row.source.data(),
                               static_cast<int>(row.source.size()), mapped, sizeof(mapped)),
                  static_cast<int>(row.expected.size()))
            << row.source;
        EXPECT_EQ(std::string(mapped, row.expected.size()), row.expected) << row.source;
    }
}

void ExpectLeadBytes(const std::initializer_list<std::pair<int, bool>>& rows) {
    for (const auto& row : rows) {
        EXPECT_EQ(IsDBCSLeadByte(static_cast<BYTE>(row.first)) != FALSE, row.second) << row.first;
    }
}

class Text : public Case {
  protected:
    void SetUp() override {
        Case::SetUp();
        if (const std::string lack = MachineLacks(Need::CodePage1252); !lack.empty()) {
            GTEST_SKIP() << lack;
        }
        ASSERT_TRUE(UseCodePage(1252)) << "run with LC_ALL=en_US.UTF-8";
    }
};

// MSDN "Code Page 1252" table and LCMapStringA (LCMAP_UPPERCASE, LCMAP_LOWERCASE); locale.c
// test_LCMapStringA folds ASCII only.
TEST_F(Text, Latin1252HasNoLeadBytesAndFoldsItsOwnLetters) {
    ExpectLeadBytes({{0x5C, false}, {0x81, false}, {0x83, false}, {0xE0, false}, {0xFC, false}});
    ExpectMappings({
        {LCMAP_UPPERCASE, "az\x9A\x9C\x9E\xFF\xE0\xFE", "AZ\x8A\x8C\x8E\x9F\xC0\xDE"},
        {LCMAP_LOWERCASE, "AZ\x8A\x8C\x8E\x9F\xC0\xDE", "az\x9A\x9C\x9E\xFF\xE0\xFE"},
        {LCMAP_UPPERCASE, "\xD7\xF7\xDF", "\xD7\xF7\xDF"},  // x and / signs, sharp s
    });
}

// kernel32/tests/locale.c test_LCMapStringA (a buffer too small); MSDN LCMapStringA (cchDest 0
// asks the size).
TEST_F(Text, MappingReportsTheSizeItNeeds) {
    char mapped[4] = {};
    EXPECT_EQ(LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, "abcd", -1, nullptr, 0), 5);
    SetLastError(kPoison);
    EXPECT_EQ(LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, "abcd", -1, mapped, 4), 0);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, "abcd", 4, mapped, 4), 4);
    EXPECT_EQ(std::string(mapped, 4), "ABCD");
}

// MSDN "System Error Codes (0-499)": the texts, and 317 (ERROR_MR_MID_NOT_FOUND) for a number
// without one.
TEST_F(Text, SystemTextsComeFromTheMessageTable) {
    struct Row {
        DWORD code;
        const char* windows;
        const char* wine;
    };
    const Row rows[] = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n",
         "File not found.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n", "Access denied.\r\n"},
    };
    for (const Row& row : rows) {
        char* text = nullptr;
        const DWORD length =
            FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                           row.code, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_NE(text, nullptr) << row.code;
        EXPECT_EQ(length, std::string(text).size());
        EXPECT_AS_WINDOWS(std::string(text), std::string(row.windows), std::string(row.wine),
                          kWine8,
                          row.code == ERROR_FILE_NOT_FOUND ? "message_text_2" : "message_text_5");
        EXPECT_EQ(LocalFree(text), nullptr);
    }
    char* text = nullptr;
    SetLastError(kPoison);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                             0x3FFFFF00, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_LAST_ERROR(ERROR_MR_MID_NOT_FOUND);
    EXPECT_EQ(text, nullptr);
}

class CodePage932Text : public Case {
  protected:
    void SetUp() override {
        Case::SetUp();
        if (const std::string lack = MachineLacks(Need::CodePage932); !lack.empty()) {
            GTEST_SKIP() << lack;
        }
        ASSERT_TRUE(UseCodePage(932)) << "run with LC_ALL=ja_JP.UTF-8";
    }
};

// MSDN "Code Page 932" table (lead bytes, the letters) and LCMapStringA; no test folds
// double-byte text through the A form.
TEST_F(CodePage932Text, DoubleByteCharactersFoldOnlyAsLetters) {
    ExpectLeadBytes({{0x5C, false},
                     {0x80, false},
                     {0x81, true},
                     {0x9F, true},
                     {0xA0, false},
                     {0xB1, false},  // half-width katakana A
                     {0xE0, true},
                     {0xFC, true},
                     {0xFD, false}});
    // Katakana SO and SMALL YA have trail bytes 0x5C and 0x61; full-width a and Greek alpha fold.
    ExpectMappings({
        {LCMAP_UPPERCASE, "a\x83\x5C\x83\x61z\x82\x81\x83\xBF\xB1",
         "A\x83\x5C\x83\x61Z\x82\x60\x83\x9F\xB1"},
        {LCMAP_LOWERCASE, "A\x83\x41\x82\x60\x83\x9F", "a\x83\x41\x82\x81\x83\xBF"},
    });
}

}  // namespace
}  // namespace conformance
