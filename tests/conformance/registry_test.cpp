// Registry below HKEY_LOCAL_MACHINE: opening, creating and deleting keys, value sizes, access
// rights, double-byte names, and what a filtered token may do.
#include "conformance.h"

#include <cstring>
#include <vector>

namespace conformance {
namespace {

constexpr LSTATUS kBadPathname = 161;  // ERROR_BAD_PATHNAME

using DeleteKeyEx = LSTATUS(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);

enum class Op { Create, Open, Delete, DeleteEx };

LSTATUS Apply(Op op, const std::string& path, REGSAM access = KEY_ALL_ACCESS) {
    RegKeyHandle key;
    switch (op) {
        case Op::Create:
            return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, access, nullptr,
                                   key.put(), nullptr);
        case Op::Open:
            return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key.put());
        case Op::Delete:
            return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
        case Op::DeleteEx: {
            // Looked up at run time, as the product does.
            auto deleteEx = reinterpret_cast<DeleteKeyEx>(reinterpret_cast<void*>(
                GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA")));
            return deleteEx ? deleteEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0)
                            : ERROR_PROC_NOT_FOUND;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

void SetValue(HKEY key, const char* name, DWORD type, const std::string& bytes) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

class Registry : public Case {};

// MSDN RegOpenKeyExA, RegCreateKeyExA (intermediate keys, disposition), RegDeleteKeyExA;
// [MS-RRP] BaseRegDeleteKey (a key with subkeys: ERROR_ACCESS_DENIED); advapi32/tests/registry.c
// test_reg_create_key (a leading backslash, trailing ones), test_reg_delete_key (a deleted key is
// gone).
TEST_F(Registry, KeysOpenCreateAndDeleteWithDocumentedCodes) {
    const std::string t = TestKey();
    struct Row {
        Op op;
        std::string path;
        LSTATUS expected;
    };
    const Row rows[] = {
        {Op::Open, t + "\\A", ERROR_FILE_NOT_FOUND},
        {Op::Create, t + "\\A\\B", ERROR_SUCCESS},      // intermediate keys too
        {Op::Open, t + "\\a\\b\\", ERROR_SUCCESS},      // any case, one trailing backslash
        {Op::Create, t + "\\\x8A\xC0", ERROR_SUCCESS},  // 1252 folding: unconfirmed below
        {Op::Open, t + "\\\x9A\xE0", ERROR_SUCCESS},    // 1252 letters fold too
        {Op::Create, "\\" + t + "\\C", kBadPathname},
        {Op::Delete, t + "\\A", ERROR_ACCESS_DENIED},  // it has a subkey
        {Op::Delete, t + "\\A\\B", ERROR_SUCCESS},
        {Op::Delete, t + "\\A\\B", ERROR_FILE_NOT_FOUND},
        {Op::DeleteEx, t + "\\A", ERROR_SUCCESS},
        {Op::DeleteEx, t + "\\A", ERROR_FILE_NOT_FOUND},
    };
    Unconfirmed("registry_1252_fold",
                "no test; key names compare as their Unicode letters, without regard to case");
    Weigh("registry_1252_fold", Evidence::Indirect,
          "Wine's registry code: the A calls convert the name with the ANSI code page (0x8A, 0x9A "
          "become U+0160, U+0161) and server/registry.c find_subkey compares names with "
          "memicmp_strW, Unicode case folding; Wine's behaviour, not Windows'");
    for (const Row& row : rows) {
        EXPECT_EQ(Apply(row.op, row.path), row.expected)
            << static_cast<int>(row.op) << " " << row.path;
    }
    RegKeyHandle key;
    DWORD disposition = 0;
    for (DWORD expected : {REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY}) {
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (t + "\\D").c_str(), 0, nullptr, 0, KEY_READ,
                                  nullptr, key.put(), &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, expected);
        key.reset();
    }
}

TEST_F(Registry, MachineRootHoldsNoKeysOrValuesOfItsOwn) {
    // The root is not a hive: Windows refuses keys and values directly beneath it.
    Unconfirmed("root_key_created",
                "no test; the root of HKEY_LOCAL_MACHINE holds only hives "
                "(MSDN \"Registry Hives\")");
    EXPECT_AS_WINDOWS(Apply(Op::Create, "ZelkConformanceRoot"), ERROR_ACCESS_DENIED, ERROR_SUCCESS,
                      kWine8, "root_key_created");
    Apply(Op::Delete, "ZelkConformanceRoot");
    const BYTE one[4] = {1};
    EXPECT_AS_WINDOWS(RegSetValueExA(HKEY_LOCAL_MACHINE, "ZelkConformance", 0, REG_DWORD, one, 4),
                      ERROR_ACCESS_DENIED, ERROR_SUCCESS, kWine8, "root_value_set");
    RegDeleteValueA(HKEY_LOCAL_MACHINE, "ZelkConformance");

    // An empty subkey hands back the predefined handle itself (advapi32/tests/registry.c
    // test_reg_open_key, RegOpenKeyExA on HKEY_CLASSES_ROOT), through which the root's keys are
    // found.
    RegKeyHandle root;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, root.put()), ERROR_SUCCESS);
    EXPECT_EQ(root.get(), HKEY_LOCAL_MACHINE);
    RegKeyHandle software;
    EXPECT_EQ(RegOpenKeyExA(root.get(), "SOFTWARE", 0, KEY_READ, software.put()), ERROR_SUCCESS);
    DWORD subKeys = 0;
    EXPECT_EQ(RegQueryInfoKeyA(root.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_GE(subKeys, 2u);
}

// MSDN RegQueryValueExA (ERROR_MORE_DATA with the size), RegDeleteValueA, RegQueryInfoKeyA;
// advapi32/tests/registry.c test_query_value_ex (a string's size, a missing value) and
// test_reg_query_info (longest name in characters, longest data in UTF-16).
TEST_F(Registry, ValuesKeepTypeAndBytesAndReportSizes) {
    RegKeyHandle key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey().c_str(), 0, KEY_ALL_ACCESS, key.put()),
              ERROR_SUCCESS);
    struct Row {
        const char* name;
        DWORD type;
        std::string bytes;
    };
    const Row rows[] = {
        {"Text", REG_SZ, std::string("abcdef", 7)},
        {"Number", REG_DWORD, std::string("\x03\0\0\0", 4)},
        {"List", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
        {"Raw", REG_BINARY, std::string("\x01\x02\x03", 3)},
        {"", REG_SZ, std::string("default", 8)},
    };
    for (const Row& row : rows) {
        SetValue(key.get(), row.name, row.type, row.bytes);
    }
    for (const Row& row : rows) {
        DWORD type = 0;
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(key.get(), row.name, nullptr, &type, nullptr, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(size, row.bytes.size()) << row.name;
        std::vector<BYTE> data(size + 8, 0xCC);
        size = static_cast<DWORD>(row.bytes.size() - 1);
        EXPECT_EQ(RegQueryValueExA(key.get(), row.name, nullptr, &type, data.data(), &size),
                  ERROR_MORE_DATA)
            << row.name;
        EXPECT_EQ(size, row.bytes.size()) << row.name;
        size = static_cast<DWORD>(data.size());
        ASSERT_EQ(RegQueryValueExA(key.get(), row.name, nullptr, &type, data.data(), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, row.type) << row.name;
        EXPECT_EQ(std::string(data.begin(), data.begin() + size), row.bytes) << row.name;
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "TEXT", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);  // names compare without regard to case
    EXPECT_EQ(RegQueryValueExA(key.get(), "Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key.get(), "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key.get(), "Raw"), ERROR_SUCCESS);

    DWORD values = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &values, &longestName, &longestData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 4u);
    EXPECT_EQ(longestName, 6u);   // "Number"
    EXPECT_EQ(longestData, 16u);  // "default" with its NUL, as stored: in UTF-16
}

// advapi32/tests/registry.c test_enum_value (RegEnumValueA: ERROR_MORE_DATA for a name or data
// that does not fit); MSDN RegEnumKeyExA (ERROR_NO_MORE_ITEMS).
TEST_F(Registry, EnumerationAnswersMoreDataWhenANameOrValueDoesNotFit) {
    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (TestKey() + "\\Sub").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    SetValue(key.get(), "Status", REG_SZ, std::string("longer than four", 17));
    RegKeyHandle parent;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey().c_str(), 0, KEY_READ, parent.put()),
              ERROR_SUCCESS);
    char name[16] = {};
    struct Row {
        DWORD capacity;
        LSTATUS expected;
    };
    for (const Row& row : {Row{3, ERROR_MORE_DATA}, Row{4, ERROR_SUCCESS}}) {
        DWORD length = row.capacity;
        EXPECT_EQ(RegEnumKeyExA(parent.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
                  row.expected)
            << row.capacity;
        if (row.expected == ERROR_SUCCESS) {
            EXPECT_STREQ(name, "Sub");
            EXPECT_EQ(length, 3u);
        }
    }
    DWORD length = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(parent.get(), 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    // The product reads REG_DWORD values through a 4-byte buffer and skips what does not fit.
    for (const Row& row : {Row{6, ERROR_MORE_DATA}, Row{7, ERROR_MORE_DATA}}) {
        DWORD nameLength = row.capacity;
        DWORD type = 0;
        BYTE data[4] = {};
        DWORD dataSize = sizeof(data);
        EXPECT_EQ(RegEnumValueA(key.get(), 0, name, &nameLength, nullptr, &type, data, &dataSize),
                  row.expected)
            << row.capacity;
    }
    DWORD nameLength = sizeof(name);
    DWORD type = 0;
    BYTE data[4] = {};
    DWORD dataSize = sizeof(data);
    EXPECT_EQ(RegEnumValueA(key.get(), 1, name, &nameLength, nullptr, &type, data, &dataSize),
              ERROR_NO_MORE_ITEMS);
}

// MSDN "Registry Key Security and Access Rights".
TEST_F(Registry, HandlesGrantOnlyTheRightsAskedFor) {
    RegKeyHandle reader;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey().c_str(), 0, KEY_QUERY_VALUE, reader.put()),
        ERROR_SUCCESS);
    const BYTE one[4] = {1};
    EXPECT_EQ(RegSetValueExA(reader.get(), "V", 0, REG_DWORD, one, 4), ERROR_ACCESS_DENIED);
    char name[16] = {};
    DWORD length = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(reader.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    RegKeyHandle writer;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey().c_str(), 0, KEY_SET_VALUE, writer.put()),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(writer.get(), "V", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writer.get(), "V", nullptr, nullptr, nullptr, &size),
              ERROR_ACCESS_DENIED);
}

// A filtered token reads HKEY_LOCAL_MACHINE but may not write there: MSDN "User Account Control"
// (a standard user's token); Wine has no UAC, so no test shows it.
TEST_F(Registry, FilteredTokenReadsButDoesNotChangeTheMachine) {
    if (!FilteredTokenAvailable()) {
        GTEST_SKIP() << "Wine has no UAC: the filtered token is checked against winsim only";
    }
    const std::string t = TestKey();
    ASSERT_EQ(Apply(Op::Create, t + "\\Leaf"), ERROR_SUCCESS);
    UseFilteredToken();
    struct Row {
        Op op;
        std::string path;
        REGSAM access;
        LSTATUS expected;
    };
    const Row rows[] = {
        {Op::Open, t, KEY_READ, ERROR_SUCCESS},
        {Op::Create, t, KEY_READ, ERROR_SUCCESS},
        {Op::Open, t, KEY_WRITE, ERROR_ACCESS_DENIED},
        {Op::Open, t, KEY_SET_VALUE, ERROR_ACCESS_DENIED},
        {Op::Open, t, KEY_CREATE_SUB_KEY, ERROR_ACCESS_DENIED},
        {Op::Open, t, DELETE, ERROR_ACCESS_DENIED},
        {Op::Open, t, KEY_READ | KEY_WRITE, ERROR_ACCESS_DENIED},
        {Op::Create, t, KEY_ALL_ACCESS, ERROR_ACCESS_DENIED},
        {Op::Create, t + "\\New", KEY_READ, ERROR_ACCESS_DENIED},
        {Op::Delete, t + "\\Leaf", 0, ERROR_ACCESS_DENIED},
        {Op::DeleteEx, t + "\\Leaf", 0, ERROR_ACCESS_DENIED},
        {Op::Delete, t + "\\Missing", 0, ERROR_FILE_NOT_FOUND},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Apply(row.op, row.path, row.access), row.expected)
            << static_cast<int>(row.op) << " " << row.path << " " << row.access;
    }
    const BYTE one[4] = {1};
    EXPECT_EQ(RegSetValueExA(HKEY_LOCAL_MACHINE, "V", 0, REG_DWORD, one, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Apply(Op::Open, t + "\\Leaf", KEY_READ), ERROR_SUCCESS);
}

// Names are converted to UTF-16 before they are parsed: a trail byte 0x5C is no separator, and
// trail bytes are not case-folded.
class CodePage932Registry : public Case {
  protected:
    void SetUp() override {
        Case::SetUp();
        if (const std::string lack = MachineLacks(Need::CodePage932); !lack.empty()) {
            GTEST_SKIP() << lack;
        }
        ASSERT_TRUE(UseCodePage(932)) << "run with LC_ALL=ja_JP.UTF-8";
    }
};

TEST_F(CodePage932Registry, DoubleByteNamesAreWholeCharacters) {
    Unconfirmed("registry_cp932_names",
                "no test; the A functions convert names with the ANSI "
                "code page before the kernel parses them");
    const std::string t = TestKey();
    const std::string so = "Z\x83\x5C";  // "Z" and katakana SO, whose trail byte is 0x5C
    for (const std::string& name : {so, std::string("\x83\x61"), std::string("\x83\x41")}) {
        RegKeyHandle key;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (t + "\\" + name).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, key.put(), &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY)) << name;
        SetValue(key.get(), so.c_str(), REG_SZ, std::string("x", 2));
    }
    RegKeyHandle parent;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, t.c_str(), 0, KEY_READ, parent.put()),
              ERROR_SUCCESS);
    DWORD subKeys = 0;
    ASSERT_EQ(RegQueryInfoKeyA(parent.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(Apply(Op::Open, t + "\\Z\x83"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Apply(Op::Open, t + "\\" + so + "\\"), ERROR_SUCCESS);
    RegKeyHandle key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (t + "\\" + so).c_str(), 0, KEY_READ, key.put()),
              ERROR_SUCCESS);
    char name[16] = {};
    DWORD nameLength = sizeof(name);
    BYTE data[4] = {};
    DWORD dataSize = sizeof(data);
    ASSERT_EQ(RegEnumValueA(key.get(), 0, name, &nameLength, nullptr, nullptr, data, &dataSize),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, nameLength), so);
    EXPECT_EQ(Apply(Op::Delete, t + "\\" + so), ERROR_SUCCESS);
    EXPECT_EQ(Apply(Op::Open, t + "\\Z"), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace conformance
