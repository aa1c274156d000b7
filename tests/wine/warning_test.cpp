// The one message the DLL shows: a warning that reaches the installer's user interface.
#include "support/session_fixture.h"
#include "support/ui_capture.h"

namespace zelk::wine {
namespace {

constexpr UINT kWarningWithIcon = INSTALLMESSAGE_WARNING | MB_ICONWARNING;  // 0x02000030

using InstallerWarning = CustomActionTest;

TEST_F(InstallerWarning, MissingInfPostsOneWarningWithEmptyText) {
    const ExternalUiCapture ui(INSTALLLOGMODE_WARNING | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_USER |
                               INSTALLLOGMODE_INFO);
    EXPECT_EQ(RunWithData("CA_InstallDriver", "C:\\zelk-nowhere\\zelk_usb.inf"),
              static_cast<UINT>(ERROR_SUCCESS));

    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].type, kWarningWithIcon);
    // The engine leaves its message empty for a missing INF, so the record's template is
    // empty and the installer shows only its field labels ("1:  2:  " under Wine).
    EXPECT_TRUE(IsEmptyRecordRendering(ui.Messages()[0].text))
        << "text: \"" << ui.Messages()[0].text << "\"";
}

TEST(EmptyRecordRendering, AcceptsFieldLabelsOnly) {
    EXPECT_TRUE(IsEmptyRecordRendering(""));
    EXPECT_TRUE(IsEmptyRecordRendering("1:  2:  "));
    EXPECT_TRUE(IsEmptyRecordRendering("1: 2:"));
    EXPECT_FALSE(IsEmptyRecordRendering("1: x 2: "));
    EXPECT_FALSE(IsEmptyRecordRendering("Staging failed"));
    EXPECT_FALSE(IsEmptyRecordRendering(" 1: "));
}

}  // namespace
}  // namespace zelk::wine
