#include "sim_fixture.h"

#include "runtime/process.h"

using zelk::RunProcessAndWait;

using ProcessTest = SimTest;

TEST_F(ProcessTest, StartsProgramWithCommandLineUnchangedAndWaits) {
    winsim::SetCurrentDirectory("C:\\Installer");
    winsim::AddFile("C:\\Installer\\certutil.exe");
    EXPECT_EQ(RunProcessAndWait("certutil.exe", "-f \"x\"", INFINITE, true), 0u);

    ASSERT_EQ(winsim::Launches().size(), 1u);
    const winsim::Launch& launch = winsim::Launches()[0];
    EXPECT_EQ(launch.applicationName, "certutil.exe");
    EXPECT_EQ(launch.resolvedPath, "C:\\Installer\\certutil.exe");
    EXPECT_EQ(launch.commandLine, "-f \"x\"");
    EXPECT_TRUE(launch.commandLineWritable);
    EXPECT_EQ(launch.creationFlags, static_cast<DWORD>(CREATE_NO_WINDOW));
    EXPECT_EQ(launch.startupInfoSize, 104u);
    EXPECT_EQ(launch.inheritHandles, FALSE);
    EXPECT_TRUE(launch.environmentNull);
    EXPECT_TRUE(launch.currentDirectoryNull);

    auto waits = winsim::CallsTo("WaitForSingleObject");
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].args[1], winsim::Num(INFINITE));
    EXPECT_EQ(winsim::CountCalls("CloseHandle"), 2u);
}

TEST_F(ProcessTest, ShowsWindowUnlessAskedToHideAndPassesTimeout) {
    winsim::AddFile("C:\\Old\\uninst.exe");
    EXPECT_EQ(RunProcessAndWait("C:\\Old\\uninst.exe", "", 5000, false), 0u);
    EXPECT_EQ(winsim::Launches()[0].creationFlags, 0u);
    EXPECT_EQ(winsim::Launches()[0].commandLine, "");
    EXPECT_EQ(winsim::CallsTo("WaitForSingleObject")[0].args[1], "5000");
}

TEST_F(ProcessTest, EmptyProgramIsInvalidDataAndStartsNothing) {
    EXPECT_EQ(RunProcessAndWait("", "-f", INFINITE, true), static_cast<UINT>(ERROR_INVALID_DATA));
    EXPECT_EQ(winsim::CountCalls("CreateProcessA"), 0u);
}

TEST_F(ProcessTest, MissingProgramReturnsTheSystemsCode) {
    EXPECT_EQ(RunProcessAndWait("C:\\nowhere\\setup.exe", "", INFINITE, true),
              static_cast<UINT>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(RunProcessAndWait("C:\\setup.exe", "", INFINITE, true),
              static_cast<UINT>(ERROR_FILE_NOT_FOUND));
    winsim::FailCall("CreateProcessA", {ERROR_BAD_EXE_FORMAT});
    EXPECT_EQ(RunProcessAndWait("C:\\bad.exe", "", INFINITE, true),
              static_cast<UINT>(ERROR_BAD_EXE_FORMAT));
    // A failed start that leaves no error behind is still a failure.
    winsim::FailCall("CreateProcessA", {ERROR_SUCCESS});
    EXPECT_EQ(RunProcessAndWait("C:\\bad.exe", "", INFINITE, true),
              static_cast<UINT>(ERROR_GEN_FAILURE));
    EXPECT_EQ(winsim::CountCalls("WaitForSingleObject"), 0u);
}

TEST_F(ProcessTest, BareNameIsNotSearchedForAlongThePath) {
    winsim::SetCurrentDirectory("C:\\Installer");
    winsim::AddFile("C:\\Windows\\system32\\certutil.exe");
    EXPECT_EQ(RunProcessAndWait("certutil.exe", "", INFINITE, true),
              static_cast<UINT>(ERROR_FILE_NOT_FOUND));
}
