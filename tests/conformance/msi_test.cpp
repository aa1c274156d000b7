// The installer session as a custom action sees it: property sizes and message records.
#include "conformance.h"

namespace conformance {
namespace {

class Msi : public Case {
  protected:
    void SetUp() override {
        Case::SetUp();
        session_ = OpenSession();
        ASSERT_NE(session_, 0u);
    }
    void TearDown() override { CloseSession(session_); }

    MSIHANDLE session_ = 0;
};

TEST_F(Msi, PropertiesAnswerMoreDataWhenTheBufferIsShort) {
    struct Row {
        DWORD capacity;
        UINT expected;
        const char* text;
    };
    for (const Row& row : {Row{0, ERROR_MORE_DATA, "#"}, Row{5, ERROR_MORE_DATA, "valu"},
                           Row{6, ERROR_SUCCESS, "value"}}) {
        char value[8] = "#";
        DWORD size = row.capacity;
        EXPECT_EQ(MsiGetPropertyA(session_, "Probe", value, &size), row.expected) << row.capacity;
        EXPECT_EQ(size, 5u) << row.capacity;  // characters, without the terminator
        EXPECT_STREQ(value, row.text) << row.capacity;
    }
    char value[8] = "#";
    DWORD size = sizeof(value);
    EXPECT_EQ(MsiGetPropertyA(session_, "Missing", value, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_STREQ(value, "");
    // Setting the empty string removes a property.
    EXPECT_EQ(MsiSetPropertyA(session_, "Probe", ""), ERROR_SUCCESS);
    size = sizeof(value);
    EXPECT_EQ(MsiGetPropertyA(session_, "Probe", value, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    size = sizeof(value);
    EXPECT_EQ(MsiGetPropertyA(0, "Probe", value, &size), ERROR_INVALID_HANDLE);
}

TEST_F(Msi, RecordsCarryTheMessageAndAreClosedOnce) {
    const MSIHANDLE record = MsiCreateRecord(1);
    ASSERT_NE(record, 0u);
    EXPECT_EQ(MsiRecordSetStringA(record, 0, "warning text"), ERROR_SUCCESS);
    // Windows documents ERROR_INVALID_PARAMETER for a field beyond the record
    // (MsiRecordSetInteger).
    EXPECT_AS_WINDOWS(MsiRecordSetStringA(record, 2, "beyond the fields"),
                      UINT{ERROR_INVALID_PARAMETER}, UINT{1616}, "record_field_beyond");
    const auto warning = static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_WARNING | MB_ICONWARNING);
    EXPECT_NE(MsiProcessMessage(session_, warning, record), -1);
    EXPECT_EQ(MsiCloseHandle(record), ERROR_SUCCESS);
    EXPECT_EQ(MsiCloseHandle(record), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace conformance
