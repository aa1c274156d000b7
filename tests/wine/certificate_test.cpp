// The publisher certificate action: the certificate utility it must start is the recording
// stand-in laid as certutil.exe in the system directory; a second stand-in planted as
// certutil.exe in the current directory of the calling process must never run. The same checks
// run under code page 1252 and, in group trust932, under code page 932, where a byte outside
// ASCII before "addstore" would merge with the verb's first letter.
#include <string>
#include <vector>

#include "support/machine_probe.h"
#include "support/recorded_command.h"
#include "support/session_fixture.h"

namespace zelk::wine {
namespace {

using Arguments = std::vector<std::string>;

constexpr char kWorkFolder[] = "C:\\zelk-cert-cwd";
constexpr char kPlanted[] = "C:\\zelk-cert-cwd\\certutil.exe";
constexpr UINT kWestern = 1252;
constexpr UINT kShiftJis = 932;

std::string SystemFolder() {
    char folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder, length < MAX_PATH ? length : 0);
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
        ASSERT_NE(SystemFolder(), "");
        // Wine's own certutil.exe is set aside for the stand-in and put back afterwards.
        MoveFileExA(certutil_.c_str(), saved_.c_str(), MOVEFILE_REPLACE_EXISTING);
        ASSERT_TRUE(PlaceRecorder(certutil_));
        ASSERT_TRUE(PlaceRecorder(kPlanted));
    }
    void TearDown() override {
        SetCurrentDirectoryA(previousFolder_.c_str());
        RemoveRecorder(kPlanted);
        RemoveDirectoryA(kWorkFolder);
        RemoveRecorder(certutil_);
        MoveFileExA(saved_.c_str(), certutil_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    // certutil.exe reads argv: the program's name, then the force flag and the verb, each a
    // separate ASCII argument, then the store and the certificate.
    void ExpectAddedBySystemCertutil(const std::string& path) {
        EXPECT_EQ(RunWithData("CA_InstallCertificate", path), static_cast<UINT>(ERROR_SUCCESS));
        EXPECT_EQ(RecordedArguments(certutil_).value_or(Arguments{"(not run)"}),
                  (Arguments{certutil_, "-f", "-addstore", "TrustedPublisher", path}));
        EXPECT_EQ(RecordedCommandLine(certutil_).value_or("(not run)"),
                  "\"" + certutil_ + "\" -f -addstore \"TrustedPublisher\" \"" + path + "\"");
        EXPECT_EQ(RecordedCommandLine(kPlanted), std::nullopt)
            << "the certutil.exe of the current directory ran";
    }

    const std::string certutil_ = SystemFolder() + "\\certutil.exe";
    const std::string saved_ = SystemFolder() + "\\certutil.exe.zelk-saved";
    std::string previousFolder_;
};

class PublisherCertificateCodePage932 : public PublisherCertificate {};

TEST_F(PublisherCertificate, StartsTheSystemCertutilNotTheCurrentDirectorys) {
    ASSERT_EQ(GetACP(), kWestern);
    ExpectAddedBySystemCertutil("C:\\Program Files\\Zelk\\zelk publisher.cer");
}

TEST_F(PublisherCertificate, PassesAValueWithTheTokenSeparatorWhole) {
    ExpectAddedBySystemCertutil("C:\\certs@2\\zelk.cer");
}

TEST_F(PublisherCertificate, ZeroStartsNothing) {
    EXPECT_EQ(RunWithData("CA_InstallCertificate", "0"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(RecordedCommandLine(certutil_), std::nullopt);
    EXPECT_EQ(RecordedCommandLine(kPlanted), std::nullopt);
}

TEST_F(PublisherCertificate, MissingSystemCertutilStillSucceedsAndStartsNoOther) {
    RemoveRecorder(certutil_);
    EXPECT_EQ(RunWithData("CA_InstallCertificate", "C:\\zelk.cer"),
              static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(RecordedCommandLine(kPlanted), std::nullopt);
}

TEST_F(PublisherCertificateCodePage932, StartsTheSystemCertutilWithAsciiSwitches) {
    ASSERT_EQ(GetACP(), kShiftJis) << "run this group with LC_ALL=ja_JP.UTF-8";
    ExpectAddedBySystemCertutil("C:\\Program Files\\Zelk\\zelk publisher.cer");
    // A folder named with U+8868, whose second byte in code page 932 is a backslash.
    ExpectAddedBySystemCertutil("C:\\\x95\x5C\\zelk.cer");
}

}  // namespace
}  // namespace zelk::wine
