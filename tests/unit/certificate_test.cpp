#include "sim_fixture.h"

#include "exports/entry_points.h"
#include "trust/certificate.h"

namespace {

constexpr char kSystemCertutil[] = "C:\\Windows\\system32\\certutil.exe";

class CertificateTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        winsim::AddFile(kSystemCertutil);
    }

    // The command line certutil.exe is given for `path`, built byte by byte.
    static std::string Expected(const std::string& path,
                                const std::string& program = kSystemCertutil) {
        return "\"" + program + "\" -f -addstore \"TrustedPublisher\" \"" + path + "\"";
    }
};

TEST_F(CertificateTest, RunsTheSystemCertutilHiddenWithItsNameFirstAndWaits) {
    SetActionData("C:\\Program Files\\Zelk\\zelk publisher.cer");
    EXPECT_EQ(CA_InstallCertificate(session_), 0u);
    ASSERT_EQ(winsim::Launches().size(), 1u);
    const auto& launch = winsim::Launches()[0];
    EXPECT_EQ(launch.applicationName, kSystemCertutil);
    EXPECT_EQ(launch.commandLine, Expected("C:\\Program Files\\Zelk\\zelk publisher.cer"));
    // ASCII only: no byte that an East Asian code page would read as a lead byte.
    for (char byte : launch.commandLine) {
        EXPECT_LT(static_cast<unsigned char>(byte), 0x80u) << launch.commandLine;
    }
    EXPECT_EQ(launch.creationFlags, static_cast<DWORD>(CREATE_NO_WINDOW));
    EXPECT_EQ(winsim::CallsTo("WaitForSingleObject")[0].args[1], winsim::Num(INFINITE));
}

// Wherever the process happens to stand, and wherever Windows lives, the utility comes from the
// system directory.
TEST_F(CertificateTest, IgnoresACertutilInTheCurrentDirectory) {
    struct Row {
        const char* currentDirectory;
        const char* systemDirectory;
    };
    for (const Row& row : {Row{"C:\\Users\\Public", "C:\\Windows\\system32"},
                           Row{"C:\\Windows\\system32", "D:\\WinNT\\System32"}}) {
        winsim::AddDirectory(row.currentDirectory);
        winsim::AddFile(std::string(row.currentDirectory) + "\\certutil.exe");
        winsim::SetCurrentDirectory(row.currentDirectory);
        winsim::SetSystemDirectory(row.systemDirectory);
        const std::string certutil = std::string(row.systemDirectory) + "\\certutil.exe";
        winsim::AddFile(certutil);
        SetActionData("C:\\zelk.cer");
        EXPECT_EQ(CA_InstallCertificate(session_), 0u);
        ASSERT_FALSE(winsim::Launches().empty());
        EXPECT_EQ(winsim::Launches().back().resolvedPath, certutil);
        EXPECT_EQ(winsim::Launches().back().commandLine, Expected("C:\\zelk.cer", certutil));
    }
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

// Without the system directory nothing runs: never a bare name, which the current directory
// would answer.
TEST_F(CertificateTest, UnreadableSystemDirectoryRunsNothing) {
    SetActionData("C:\\zelk.cer");
    winsim::FailCall("GetSystemDirectoryA", {ERROR_ACCESS_DENIED});
    EXPECT_EQ(CA_InstallCertificate(session_), 0u);
    winsim::ClearFailures();
    // 260 characters do not fit the 260-byte buffer with their NUL: the call answers the size.
    winsim::SetSystemDirectory("C:\\" + std::string(257, 's'));
    EXPECT_EQ(CA_InstallCertificate(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("CreateProcessA"), 0u);
    EXPECT_TRUE(winsim::Messages(session_).empty());
}

TEST_F(CertificateTest, MissingCertutilStillSucceedsSilently) {
    winsim::RemoveFile(kSystemCertutil);
    SetActionData("C:\\zelk.cer");
    EXPECT_EQ(CA_InstallCertificate(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("CreateProcessA"), 1u);
    EXPECT_TRUE(winsim::Messages(session_).empty());
}

}  // namespace
