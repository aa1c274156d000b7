// The publisher certificate action: the certificate utility it starts is the recording stand-in,
// laid as certutil.exe in the current directory of the calling process.
#include <string>

#include "support/machine_probe.h"
#include "support/recorded_command.h"
#include "support/session_fixture.h"

namespace zelk::wine {
namespace {

constexpr char kWorkFolder[] = "C:\\zelk-cert-cwd";
constexpr char kCertutil[] = "C:\\zelk-cert-cwd\\certutil.exe";

// The command line for `path`; the byte before "addstore" is 0x96, not a hyphen.
std::string AddStoreCommandLine(const std::string& path) {
    return "-f \x96"
           "addstore \"TrustedPublisher\" \"" +
           path + "\"";
}

class PublisherCertificate : public CustomActionTest {
  protected:
    void SetUp() override {
        CustomActionTest::SetUp();
        char folder[MAX_PATH] = {};
        ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, folder), 0u);
        previousFolder_ = folder;
        CreateDirectoryA(kWorkFolder, nullptr);
        ASSERT_TRUE(SetCurrentDirectoryA(kWorkFolder));
    }
    void TearDown() override {
        SetCurrentDirectoryA(previousFolder_.c_str());
        RemoveRecorder(kCertutil);
        RemoveDirectoryA(kWorkFolder);
    }

    std::string previousFolder_;
};

TEST_F(PublisherCertificate, RunsCertutilFromTheCurrentDirectoryWithTheAddstoreCommandLine) {
    ASSERT_TRUE(PlaceRecorder(kCertutil));
    const std::string path = "C:\\Program Files\\Zelk\\zelk publisher.cer";
    EXPECT_EQ(RunWithData("CA_InstallCertificate", path), static_cast<UINT>(ERROR_SUCCESS));
    // Wine, like Windows, gives the child the command line exactly as CreateProcessA got it:
    // no program name in front, and the 0x96 byte survives the trip through Unicode.
    EXPECT_EQ(RecordedCommandLine(kCertutil), AddStoreCommandLine(path));
}

TEST_F(PublisherCertificate, PassesAValueWithTheTokenSeparatorWhole) {
    ASSERT_TRUE(PlaceRecorder(kCertutil));
    const std::string path = "C:\\certs@2\\zelk.cer";
    EXPECT_EQ(RunWithData("CA_InstallCertificate", path), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(RecordedCommandLine(kCertutil), AddStoreCommandLine(path));
}

TEST_F(PublisherCertificate, ZeroStartsNothing) {
    ASSERT_TRUE(PlaceRecorder(kCertutil));
    EXPECT_EQ(RunWithData("CA_InstallCertificate", "0"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(RecordedCommandLine(kCertutil), std::nullopt);
}

TEST_F(PublisherCertificate, MissingCertutilStillSucceeds) {
    // Wine has a certutil.exe of its own in the system directory; like Windows, it does not look
    // there for a bare application name, so nothing is started.
    ASSERT_FALSE(PathExists(kCertutil));
    EXPECT_EQ(RunWithData("CA_InstallCertificate", "C:\\zelk.cer"),
              static_cast<UINT>(ERROR_SUCCESS));
}

}  // namespace
}  // namespace zelk::wine
