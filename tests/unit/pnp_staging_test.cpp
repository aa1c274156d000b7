#include "pnp_test_support.h"

#include "pnp/driver_store_staging.h"

using pnp_test::AddPackage;
using pnp_test::MessageBuffer;
using zelk::CheckPackageFiles;
using zelk::StageDriverPackage;

using StagingTest = SimTest;

TEST_F(StagingTest, CopiesNewPackageIntoTheStoreWithExactArguments) {
    const std::string inf = AddPackage("zelk_usb.inf");
    MessageBuffer message;
    EXPECT_EQ(StageDriverPackage(inf, message.data(), message.size()), zelk::kStaged);
    EXPECT_TRUE(message.untouched());
    EXPECT_EQ(winsim::CallNames(),
              (std::vector<std::string>{"_stat64", "_stat64", "SetupCopyOEMInfA"}));
    EXPECT_EQ(winsim::CallsTo("_stat64")[1].args[0],
              std::string(pnp_test::kPackageFolder) + "zelk_usb.sys");
    EXPECT_EQ(winsim::CallsTo("SetupCopyOEMInfA")[0].args,
              (std::vector<std::string>{inf, "null", "1", "8", "ptr", "260", "null", "null"}));
    ASSERT_EQ(winsim::StagedPackages().size(), 1u);
}

TEST_F(StagingTest, PackageAlreadyInStoreIsNoFailure) {
    const std::string inf = AddPackage("zelk_pci.inf");
    winsim::StagePackage(inf);
    MessageBuffer message;
    EXPECT_EQ(StageDriverPackage(inf, message.data(), message.size()), zelk::kAlreadyStaged);
    EXPECT_TRUE(message.untouched());
    EXPECT_EQ(winsim::CountCalls("FormatMessageA"), 0u);
}

TEST_F(StagingTest, MissingFilesAreNamedInTheMessage) {
    MessageBuffer message;
    const std::string inf = std::string(pnp_test::kPackageFolder) + "zelk_usb.inf";
    EXPECT_FALSE(CheckPackageFiles(inf, message.data(), message.size()));
    EXPECT_EQ(message.text(), "INF file " + inf + " not found");
    EXPECT_EQ(winsim::CountCalls("_stat64"), 1u);  // the driver file is not looked at

    winsim::AddFile(inf);
    MessageBuffer second;
    EXPECT_EQ(StageDriverPackage(inf, second.data(), second.size()), zelk::kStagingFailed);
    EXPECT_EQ(second.text(),
              "Driver file " + std::string(pnp_test::kPackageFolder) + "zelk_usb.sys not found");
    EXPECT_EQ(winsim::CountCalls("SetupCopyOEMInfA"), 0u);
}

TEST_F(StagingTest, DriverFileReplacesExactlyTheLastThreeCharacters) {
    winsim::AddFile("C:\\D\\ZELK_PCI.INF");
    winsim::AddFile("C:\\D\\ZELK_PCI.sys");
    MessageBuffer message;
    EXPECT_TRUE(CheckPackageFiles("C:\\D\\ZELK_PCI.INF", message.data(), message.size()));

    winsim::AddFile("C:\\D\\pkg.in_");
    EXPECT_FALSE(CheckPackageFiles("C:\\D\\pkg.in_", message.data(), message.size()));
    EXPECT_EQ(message.text(), "Driver file C:\\D\\pkg.sys not found");
}

TEST_F(StagingTest, RefusedPackageReportsUnsignedCodeAndSystemText) {
    const std::string inf = AddPackage("zelk_pcc.inf");
    winsim::RefusePackage(inf, ERROR_GENERAL_SYNTAX);
    MessageBuffer message;
    EXPECT_EQ(StageDriverPackage(inf, message.data(), message.size()), zelk::kStagingFailed);
    EXPECT_EQ(message.text(), "Error while installing " + inf +
                                  ".\nSetupCopyOEMInf returned 3758096387:\n"
                                  "The syntax of the INF is invalid.\r\n");
    EXPECT_EQ(winsim::CallsTo("FormatMessageA")[0].args,
              (std::vector<std::string>{"4352", "null", "3758096387", "1024", "ptr", "0", "null"}));
    EXPECT_EQ(winsim::CountCalls("LocalFree"), 1u);
}

TEST_F(StagingTest, ErrorWithoutSystemTextLeavesTheThirdLineEmpty) {
    const std::string inf = AddPackage("zelk_pcc.inf");
    winsim::RefusePackage(inf, 0xE0000247);
    winsim::SetSystemMessage(0xE0000247, std::nullopt);
    MessageBuffer message;
    EXPECT_EQ(StageDriverPackage(inf, message.data(), message.size()), zelk::kStagingFailed);
    EXPECT_EQ(message.text(),
              "Error while installing " + inf + ".\nSetupCopyOEMInf returned 3758096967:\n");
    EXPECT_EQ(winsim::CountCalls("LocalFree"), 0u);
}

TEST_F(StagingTest, LongMessageIsCutAt539Characters) {
    const std::string folder = "C:\\" + std::string(200, 'd') + "\\";
    const std::string inf = folder + "zelk_usb.inf";
    winsim::WriteFile(inf, pnp_test::InfText());
    winsim::AddFile(folder + "zelk_usb.sys");
    winsim::RefusePackage(inf, ERROR_ACCESS_DENIED);
    const std::string systemText(400, 't');
    winsim::SetSystemMessage(ERROR_ACCESS_DENIED, systemText);

    MessageBuffer message;
    EXPECT_EQ(StageDriverPackage(inf, message.data(), message.size()), zelk::kStagingFailed);
    const std::string full =
        "Error while installing " + inf + ".\nSetupCopyOEMInf returned 5:\n" + systemText;
    EXPECT_EQ(message.text(), full.substr(0, 539));
    EXPECT_TRUE(message.guardIntact());
    EXPECT_EQ(winsim::OpenHandles(winsim::HandleKind::LocalMemory), 0);
}
