#include "sim_fixture.h"

#include "runtime/paths.h"

using zelk::DirectoryOfPath;
using zelk::FileNameOfPath;
using zelk::FolderOfPath;
using zelk::PathExists;

using PathsTest = SimTest;

TEST_F(PathsTest, SplitsAtTheLastBackslash) {
    struct Case {
        const char* path;
        const char* directory;
        const char* folder;
        const char* file;
    };
    const Case cases[] = {
        {"C:\\Drivers\\zelk_usb.inf", "C:\\Drivers\\", "C:\\Drivers", "zelk_usb.inf"},
        {"zelk_usb.inf", "", "", "zelk_usb.inf"},
        {"SOFTWARE\\Zelk\\", "SOFTWARE\\Zelk\\", "SOFTWARE\\Zelk", ""},
        {"\\Value", "\\", "", "Value"},
        {"", "", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DirectoryOfPath(c.path), c.directory) << c.path;
        EXPECT_EQ(FolderOfPath(c.path), c.folder) << c.path;
        EXPECT_EQ(FileNameOfPath(c.path), c.file) << c.path;
        EXPECT_EQ(DirectoryOfPath(c.path) + FileNameOfPath(c.path), c.path);
    }
}

TEST_F(PathsTest, DoubleByteTrailBackslashDoesNotSplit) {
    // 0x95 0x5C is one character in code page 932; its second byte is a backslash.
    const std::string path = "C:\\dir\\\x95\x5C.inf";
    winsim::SetCodePage(932);
    EXPECT_EQ(DirectoryOfPath(path), "C:\\dir\\");
    EXPECT_EQ(FolderOfPath(path), "C:\\dir");
    EXPECT_EQ(FileNameOfPath(path), "\x95\x5C.inf");
    winsim::SetCodePage(1252);
    EXPECT_EQ(FileNameOfPath(path), ".inf");
}

TEST_F(PathsTest, ExistsForFilesAndFoldersOnly) {
    winsim::AddFile("C:\\Drivers\\zelk_usb.inf");
    EXPECT_TRUE(PathExists("C:\\Drivers\\zelk_usb.inf"));
    EXPECT_TRUE(PathExists("c:\\drivers\\ZELK_USB.INF"));
    EXPECT_TRUE(PathExists("C:\\Drivers"));
    EXPECT_FALSE(PathExists("C:\\Drivers\\zelk_pci.inf"));
    EXPECT_FALSE(PathExists(""));
    EXPECT_FALSE(PathExists("C:\\Drivers\\*.inf"));
    EXPECT_FALSE(PathExists("C:\\Drivers\\zelk_usb.in?"));
    EXPECT_FALSE(PathExists(" C:\\Drivers\\zelk_usb.inf"));
    EXPECT_EQ(winsim::CallsTo("_stat64").back().args[0], " C:\\Drivers\\zelk_usb.inf");

    // Paths of dots alone name the current folder, its parents or a root; ".." stops at the root.
    winsim::SetCurrentDirectory("C:\\Drivers");
    for (const char* path : {".", "..", "./..\\.", "\\.", "/..", "C:.", "C:..\\..", "C:\\..",
                             "zelk_usb.inf", "..\\Drivers\\.\\zelk_usb.inf. "}) {
        EXPECT_TRUE(PathExists(path)) << path;
    }
    EXPECT_FALSE(PathExists("D:.."));  // this machine has no drive D:
}
