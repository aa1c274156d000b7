#include "pnp_test_support.h"

#include "pnp/driver_package_table.h"
#include "pnp/install_engine.h"

using pnp_test::AddPackage;
using pnp_test::kUsbId;
using pnp_test::MakeDevice;
using pnp_test::MessageBuffer;
using zelk::InstallDriverPackage;

namespace {

const std::vector<std::string> kUsbIds = {
    "USB\\VID_3A91&PID_1C01",       "USB\\VID_3A91&PID_1C02&MI_00", "USB\\VID_3A91&PID_1C03",
    "USB\\VID_3A91&PID_1C04&MI_00", "USB\\VID_3A91&PID_1C05",       "USB\\VID_3A91&PID_1C06",
    "USB\\VID_2B5F&PID_E101",       "USB\\VID_2B5F&PID_E102",       "USB\\VID_2b5f&PID_e103&MI_00"};

class EngineTest : public SimTest {
  protected:
    int Install(const std::string& infPath) {
        return InstallDriverPackage(infPath, message_.data(), message_.size());
    }

    static std::vector<std::string> UpdatedIds() {
        std::vector<std::string> ids;
        for (const auto& call : winsim::CallsTo("UpdateDriverForPlugAndPlayDevicesA")) {
            ids.push_back(call.args[1]);
        }
        return ids;
    }

    // Each marking pass lists every device, present or not, once.
    static size_t MarkingPasses() {
        size_t passes = 0;
        for (const auto& call : winsim::CallsTo("SetupDiGetClassDevsA")) {
            passes += call.args[3] == "4" ? 1 : 0;
        }
        return passes;
    }

    MessageBuffer message_;
};

}  // namespace

TEST_F(EngineTest, TableHoldsSixPackagesWithTheirIdsInOrder) {
    EXPECT_EQ(zelk::HardwareIdsOfPackage("zelk_usb.inf"), kUsbIds);
    EXPECT_EQ(zelk::HardwareIdsOfPackage("zelk_virtual.inf"),
              std::vector<std::string>{"ROOT\\ZELK_VIRTUAL"});
    EXPECT_EQ(zelk::HardwareIdsOfPackage("zelk_lan.inf"),
              std::vector<std::string>{"ROOT\\ZELK_LAN"});
    const auto pci = zelk::HardwareIdsOfPackage("zelk_pci.inf");
    ASSERT_EQ(pci.size(), 11u);
    EXPECT_EQ(pci[9], "PCI\\VEN_4D2E&DEV_700A");
    EXPECT_EQ(pci[10], "PCI\\VEN_4D2E&DEV_7010");
    EXPECT_EQ(
        zelk::HardwareIdsOfPackage("zelk_pcc.inf"),
        (std::vector<std::string>{"PCMCIA\\ZURA-CAN_CARD_PC-4C19", "PCMCIA\\ZURA-5E21-6001"}));
    EXPECT_EQ(
        zelk::HardwareIdsOfPackage("nuva_usb.inf"),
        (std::vector<std::string>{"USB\\VID_3A91&PID_1C02&MI_01", "USB\\VID_3A91&PID_1C04&MI_01",
                                  "USB\\VID_2B5F&PID_E103&MI_01"}));
    EXPECT_TRUE(zelk::HardwareIdsOfPackage("ZELK_USB.INF").empty());
}

TEST_F(EngineTest, MissingInfEndsAtOnce) {
    EXPECT_EQ(Install(""), zelk::kInstallInfMissing);
    EXPECT_TRUE(winsim::Calls().empty());
    EXPECT_EQ(Install("C:\\nowhere\\zelk_usb.inf"), zelk::kInstallInfMissing);
    EXPECT_EQ(winsim::CallNames(), std::vector<std::string>{"_stat64"});
    EXPECT_TRUE(message_.untouched());
}

TEST_F(EngineTest, PendingInstallationsTimingOutChangeNothing) {
    const std::string inf = AddPackage("zelk_usb.inf");
    winsim::SetPendingInstallWait(WAIT_TIMEOUT);
    EXPECT_EQ(Install(inf), zelk::kInstallPendingTimeout);
    EXPECT_EQ(winsim::CallNames().back(), "CMP_WaitNoPendingInstallEvents");
    EXPECT_EQ(winsim::CallsTo("CMP_WaitNoPendingInstallEvents")[0].args[0], "10000");
    EXPECT_TRUE(winsim::StagedPackages().empty());
    EXPECT_TRUE(message_.untouched());

    // Any other answer is leave to go on.
    winsim::SetPendingInstallWait(WAIT_FAILED);
    EXPECT_EQ(Install(inf), zelk::kStaged);
}

TEST_F(EngineTest, NewPackageIsStagedAndAbsentDevicesMarked) {
    const std::string inf = AddPackage("ZELK_USB.INF");
    winsim::AddDevice(MakeDevice("USB\\OLD", {"USB\\VID_2B5F&PID_E101"}, false));
    EXPECT_EQ(Install(inf), zelk::kStaged);
    EXPECT_EQ(UpdatedIds(), kUsbIds);
    EXPECT_EQ(winsim::StagedPackages().size(), 1u);
    EXPECT_EQ(MarkingPasses(), 9u);
    EXPECT_EQ(winsim::FindDevice("USB\\OLD")->configFlags,
              static_cast<DWORD>(CONFIGFLAG_REINSTALL));
    EXPECT_TRUE(message_.untouched());
    EXPECT_EQ(winsim::CallsTo("LCMapStringA")[0].args[0], "2048");  // LOCALE_SYSTEM_DEFAULT
    EXPECT_EQ(winsim::CallsTo("LCMapStringA")[0].args[1], "256");   // LCMAP_LOWERCASE
}

TEST_F(EngineTest, PackageAlreadyStagedMarksNothing) {
    const std::string inf = AddPackage("zelk_pci.inf");
    winsim::StagePackage(inf);
    EXPECT_EQ(Install(inf), zelk::kAlreadyStaged);
    EXPECT_EQ(UpdatedIds().size(), 11u);
    EXPECT_EQ(MarkingPasses(), 0u);
}

TEST_F(EngineTest, NameOutsideTheTableIsOnlyStaged) {
    const std::string inf = AddPackage("zelk_usb.inf.old");
    EXPECT_EQ(Install(inf), zelk::kStaged);
    EXPECT_TRUE(UpdatedIds().empty());
    EXPECT_EQ(MarkingPasses(), 0u);
}

TEST_F(EngineTest, FailedStagingLeavesItsMessage) {
    const std::string inf = AddPackage("zelk_pcc.inf");
    winsim::RemoveFile(std::string(pnp_test::kPackageFolder) + "zelk_pcc.sys");
    EXPECT_EQ(Install(inf), zelk::kStagingFailed);
    EXPECT_EQ(message_.text(),
              "Driver file " + std::string(pnp_test::kPackageFolder) + "zelk_pcc.sys not found");
    EXPECT_EQ(MarkingPasses(), 0u);
}

TEST_F(EngineTest, UpdatedBusDeviceSkipsStagingAndMarksAllIdsInOrder) {
    const std::string inf = AddPackage("zelk_usb.inf");
    winsim::AddDevice(MakeDevice("USB\\1", {"USB\\VID_3A91&PID_1C03"}));
    EXPECT_EQ(Install(inf), zelk::kInstallUpdated);
    EXPECT_EQ(winsim::CountCalls("SetupCopyOEMInfA"), 0u);
    EXPECT_EQ(MarkingPasses(), 9u);
    EXPECT_TRUE(message_.untouched());

    winsim::ClearCalls();
    winsim::OfferDriver(inf, {"zelk_usb", true});
    winsim::AddDevice(MakeDevice("USB\\2", {"USB\\VID_2B5F&PID_E103&MI_00"}));
    EXPECT_EQ(Install(inf), zelk::kInstallUpdatedRestart);
    EXPECT_EQ(UpdatedIds().back(), "USB\\VID_2B5F&PID_E103&MI_00");  // the device's own text
}

TEST_F(EngineTest, DeviceOnAnEqualDriverIsNoUpdate) {
    const std::string inf = AddPackage("zelk_usb.inf");
    winsim::Device device = MakeDevice("USB\\1", {kUsbId});
    device.hasBestDriver = true;
    winsim::AddDevice(device);
    EXPECT_EQ(Install(inf), zelk::kStaged);
}

TEST_F(EngineTest, VirtualPackageCreatesItsDeviceAndInstallsOnIt) {
    const std::string inf = AddPackage("zelk_virtual.inf");
    winsim::OfferDriver(inf, {"ZELK_VIRTUAL", false});
    EXPECT_EQ(Install(inf), zelk::kInstallUpdated);
    EXPECT_EQ(UpdatedIds(), (std::vector<std::string>{"ROOT\\ZELK_VIRTUAL", "ROOT\\ZELK_VIRTUAL"}));
    EXPECT_EQ(winsim::StringValue(std::string(pnp_test::kRootInstances) + "\\0000", "Service"),
              "ZELK_VIRTUAL");
    EXPECT_EQ(winsim::CountCalls("SetupCopyOEMInfA"), 0u);
    EXPECT_EQ(MarkingPasses(), 0u);

    // Next time the device is found and already runs the package: nothing changes.
    winsim::ClearCalls();
    EXPECT_EQ(Install(inf), zelk::kRootDeviceExisted);
    EXPECT_EQ(winsim::CountCalls("SetupDiCreateDeviceInfoA"), 0u);
    EXPECT_EQ(winsim::DeviceInstanceIds().size(), 1u);
}

TEST_F(EngineTest, LanPackageAsksForRestartWhenTheSystemDoes) {
    const std::string inf = AddPackage("zelk_lan.inf");
    winsim::OfferDriver(inf, {"ZELK_LAN", true});
    EXPECT_EQ(Install(inf), zelk::kInstallUpdatedRestart);
    EXPECT_EQ(winsim::FindDevice("ROOT\\CAN-HARDWARE\\0000")->hardwareIds,
              std::vector<std::string>{"ROOT\\ZELK_LAN"});
}

TEST_F(EngineTest, CreatedRootDeviceWithoutDriverGivesZero) {
    const std::string inf = AddPackage("zelk_virtual.inf");
    winsim::FailCall("UpdateDriverForPlugAndPlayDevicesA", {ERROR_GEN_FAILURE});
    EXPECT_EQ(Install(inf), zelk::kRootDeviceCreated);
    EXPECT_EQ(winsim::DeviceInstanceIds().size(), 1u);
    EXPECT_TRUE(message_.untouched());
}

TEST_F(EngineTest, UpdatedRootDeviceIsNeverMarkedOrRecreated) {
    const std::string inf = AddPackage("zelk_lan.inf");
    winsim::AddDevice(MakeDevice("ROOT\\NET\\0000", {"ROOT\\ZELK_LAN"}));
    EXPECT_EQ(Install(inf), zelk::kInstallUpdated);
    EXPECT_EQ(MarkingPasses(), 0u);
    EXPECT_EQ(winsim::CountCalls("SetupDiGetINFClassA"), 0u);
}

TEST_F(EngineTest, FailedRootDeviceCreationLeavesItsMessage) {
    const std::string inf = AddPackage("zelk_virtual.inf");
    winsim::WriteFile(inf, pnp_test::ClasslessInfText());
    EXPECT_EQ(Install(inf), zelk::kRootDeviceFailed);
    EXPECT_EQ(message_.text(),
              "Class-GUID could not be extracted from " + inf + ". Error -536870394");
    EXPECT_TRUE(message_.guardIntact());
}

TEST_F(EngineTest, PackageNameIsLowerCasedInTheSystemCodePage) {
    winsim::SetCodePage(932);
    // A folder whose double-byte character ends in a backslash byte; the system maps the name's
    // single-byte capitals, and its full-width capitals to full-width small letters.
    const std::string folder = "C:\\\x83\x5C\\";
    const std::string usbInf = folder + "ZELK_USB.INF";
    winsim::WriteFile(usbInf, pnp_test::InfText());
    winsim::AddFile(folder + "ZELK_USB.sys");
    EXPECT_EQ(Install(usbInf), zelk::kStaged);
    EXPECT_EQ(UpdatedIds(), kUsbIds);
    EXPECT_EQ(winsim::CallsTo("UpdateDriverForPlugAndPlayDevicesA")[0].args[2], usbInf);

    winsim::ClearCalls();
    const std::string wideInf = folder + "\x82\x79\x82\x64LK_USB.INF";  // full-width "ZE"
    winsim::WriteFile(wideInf, pnp_test::InfText());
    winsim::AddFile(folder + "\x82\x79\x82\x64LK_USB.sys");
    EXPECT_EQ(Install(wideInf), zelk::kStaged);
    EXPECT_TRUE(UpdatedIds().empty());
    EXPECT_EQ(winsim::CallsTo("LCMapStringA")[0].args[2], "\x82\x79\x82\x64LK_USB.INF");
}

TEST_F(EngineTest, MessageCutAtTheBufferEndKeepsWholeCharacters) {
    // "\x82\xa0" is one double-byte character in code page 932 and two letters in 1252.
    std::string wide;
    for (int i = 0; i < 300; ++i) {
        wide += "\x82\xa0";
    }
    struct Case {
        UINT codePage;
        std::string systemText;  // staging's; none: the root device's message instead
        size_t kept;
    };
    const Case cases[] = {
        {932, "x" + wide, 538},   // the cut would leave the last character's lead byte alone
        {932, wide, 539},         // a character ends exactly at the cut
        {1252, "x" + wide, 539},  // single bytes only
        {932, "", 538},
    };
    for (const Case& c : cases) {
        winsim::Reset();
        winsim::SetCodePage(c.codePage);
        message_ = MessageBuffer();
        std::string inf;
        std::string full;
        if (!c.systemText.empty()) {
            inf = AddPackage("zelk_usb.inf");
            winsim::RefusePackage(inf, ERROR_ACCESS_DENIED);
            winsim::SetSystemMessage(ERROR_ACCESS_DENIED, c.systemText);
            full =
                "Error while installing " + inf + ".\nSetupCopyOEMInf returned 5:\n" + c.systemText;
        } else {
            const std::string folder = std::string(pnp_test::kPackageFolder) + "x" + wide + "\\";
            inf = folder + "zelk_virtual.inf";
            winsim::WriteFile(inf, pnp_test::ClasslessInfText());  // reading its class fails
            winsim::AddFile(folder + "zelk_virtual.sys");
            full = "Class-GUID could not be extracted from " + inf;
        }
        EXPECT_EQ(Install(inf),
                  c.systemText.empty() ? zelk::kRootDeviceFailed : zelk::kStagingFailed);
        EXPECT_EQ(message_.text().size(), c.kept) << c.codePage;
        EXPECT_EQ(message_.text(), full.substr(0, c.kept)) << c.codePage;
        EXPECT_TRUE(message_.guardIntact());
    }
}
