#include "sim_fixture.h"

#include "exports/entry_points.h"
#include "trust/certificate.h"

namespace {

class CertificateTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        winsim::AddFile("C:\\Windows\\system32\\certutil.exe");
    }

    // The command line certutil.exe is given for `path`, built byte by byte.
    static std::string Expected(const std::string& path) {
        return std::string("-f ") + '\x96' + "addstore \"TrustedPublisher\" \"" + path + "\"";
    }
};

TEST_F(CertificateTest, RunsCertutilHiddenWithTheExactCommandLineAndWaits) {
    SetActionData("C:\\Program Files\\Zelk\\zelk publisher.cer");
    EXPECT_EQ(CA_InstallCertificate(session_), 0u);
    ASSERT_EQ(winsim::Launches().size(), 1u);
    const auto& launch = winsim::Launches()[0];
    EXPECT_EQ(launch.applicationName, "certutil.exe");
    EXPECT_EQ(launch.commandLine, Expected("C:\\Program Files\\Zelk\\zelk publisher.cer"));
    EXPECT_EQ(static_cast<unsigned char>(launch.commandLine[3]), 0x96);
    EXPECT_EQ(launch.creationFlags, static_cast<DWORD>(CREATE_NO_WINDOW));
    EXPECT_EQ(winsim::CallsTo("WaitForSingleObject")[0].args[1], winsim::Num(INFINITE));
    // The template is 36 bytes: the empty path leaves 34.
    EXPECT_EQ(zelk::CertutilCommandLine("").size(), 34u);
}

TEST_F(CertificateTest, ValueIsInsertedRawAndWhole) {
    for (const std::string& path : std::vector<std::string>{
             " 0", "00", "a@b.cer", "C:\\x\" /evil.cer", "C:\\100%s%d%n.cer"}) {
        SetActionData(path);
        EXPECT_EQ(CA_InstallCertificate(session_), 0u);
        EXPECT_EQ(winsim::Launches().back().commandLine, Expected(path));
    }
    EXPECT_EQ(winsim::Launches().size(), 5u);
}

TEST_F(CertificateTest, NoDataRunsNothing) {
    for (const std::string& data : std::vector<std::string>{"0", "", std::string(260, 'c')}) {
        SetActionData(data);
        EXPECT_EQ(CA_InstallCertificate(session_), 0u);
    }
    EXPECT_EQ(winsim::CountCalls("CreateProcessA"), 0u);
}

TEST_F(CertificateTest, MissingCertutilStillSucceedsSilently) {
    winsim::RemoveFile("C:\\Windows\\system32\\certutil.exe");
    SetActionData("C:\\zelk.cer");
    EXPECT_EQ(CA_InstallCertificate(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("CreateProcessA"), 1u);
    EXPECT_TRUE(winsim::Messages(session_).empty());
}

}  // namespace
