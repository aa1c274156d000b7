// DirectoryOfPath and FileNameOfPath split any path between them at its last backslash
// character; PathExists answers for any path.
#include "fuzz_support.h"
#include "runtime/ansi_text.h"
#include "runtime/paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    winsim::Reset();
    fuzz::ChooseCodePage(input);
    winsim::AddFile("C:\\Zelk\\zelk_usb.inf");
    const std::string path = input.ConsumeRemainingBytesAsString();

    const std::string directory = zelk::DirectoryOfPath(path);
    const std::string fileName = zelk::FileNameOfPath(path);
    fuzz::Require(directory + fileName == path, "the two parts make the path");
    fuzz::Require(directory.empty() || zelk::FindLastChar(directory, '\\') == directory.size() - 1,
                  "the directory part ends with its backslash");
    fuzz::Require(zelk::FindLastChar(fileName, '\\') == zelk::kNotFound,
                  "the file name holds no backslash");
    zelk::PathExists(path);
    return 0;
}
