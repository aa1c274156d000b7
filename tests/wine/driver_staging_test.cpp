// Ordinary packages on the real DLL: staged in the driver store by the real SetupCopyOEMInfA,
// found there the second time, refused when malformed. Runs in the "pnp" group: a fresh prefix
// with the newdev.dll stand-in, without which Wine would report every table package as updated
// and never stage it.
#include <string>

#include "support/device_tree.h"
#include "support/driver_packages.h"
#include "support/session_fixture.h"
#include "support/ui_capture.h"

namespace zelk::wine {
namespace {

constexpr UINT kWarningWithIcon = INSTALLMESSAGE_WARNING | MB_ICONWARNING;  // 0x02000030
constexpr DWORD kEveryMessage =
    INSTALLLOGMODE_WARNING | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_USER | INSTALLLOGMODE_INFO;

using DriverStaging = CustomActionTest;

TEST_F(DriverStaging, PackageOutsideTheTableIsStagedOnceWithoutWarning) {
    const PackageOnDisk package(
        "acme-once", "acme_can.inf",
        CanHardwareInf({"ROOT\\ACME_CAN", "ACME_CAN"}, "acme_can.sys", "staged once"));
    ASSERT_TRUE(package.Written());
    ASSERT_EQ(StoredCopiesOf(package.InfPath()), 0);
    const ExternalUiCapture ui(kEveryMessage);

    EXPECT_EQ(RunWithData("CA_InstallDriver", package.InfPath()), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(StoredCopiesOf(package.InfPath()), 1);

    // The store answers that it holds the package already: no failure, no second copy.
    EXPECT_EQ(RunWithData("CA_InstallDriver", package.InfPath()), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(StoredCopiesOf(package.InfPath()), 1);
    EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(DriverStaging, TablePackageWithNoDeviceConnectedIsStaged) {
    // Row zelk_pcc.inf: both of its IDs find no device, so the package goes to the store.
    const std::string firstId = "PCMCIA\\ZURA-CAN_CARD_PC-4C19";
    const PackageOnDisk package(
        "table-pcc", "zelk_pcc.inf",
        CanHardwareInf({firstId, "ZELK_PCC"}, "zelk_pcc.sys", "table package, no device"));
    ASSERT_TRUE(package.Written());
    const ExternalUiCapture ui(kEveryMessage);

    EXPECT_EQ(RunWithData("CA_InstallDriver", package.InfPath()), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(StoredCopiesOf(package.InfPath()), 1);
    EXPECT_TRUE(DevicesCarrying(firstId).empty());
    EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(DriverStaging, RefusedPackageWarnsWithTheCodeAsUnsignedNumber) {
    const PackageOnDisk package("acme-refused", "acme_bad.inf", MalformedInf("refused"));
    ASSERT_TRUE(package.Written());
    // Wine refuses it with 0xE0000000 (ERROR_EXPECTED_SECTION_NAME); whatever the code, it has
    // the high bit set, so a signed rendering would show a minus sign.
    const DWORD refusal = StagingRefusalOf(package.InfPath());
    ASSERT_NE(refusal & 0x80000000u, 0u) << "SetupCopyOEMInfA answered " << refusal;
    const ExternalUiCapture ui(kEveryMessage);

    EXPECT_EQ(RunWithData("CA_InstallDriver", package.InfPath()), static_cast<UINT>(ERROR_SUCCESS));

    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].type, kWarningWithIcon);
    const std::string& text = ui.Messages()[0].text;
    const std::string expectedStart = StagingRefusalMessageStart(package.InfPath(), refusal);
    EXPECT_EQ(text.substr(0, expectedStart.size()), expectedStart) << "text: \"" << text << "\"";
    EXPECT_EQ(StoredCopiesOf(package.InfPath()), 0);
}

}  // namespace
}  // namespace zelk::wine
