#include "runtime/paths.h"

#include "platform/win32.h"
#include "runtime/ansi_text.h"

namespace zelk {
namespace {

constexpr UINT kSystemDirectoryBufferSize = MAX_PATH;

}  // namespace

std::string DirectoryOfPath(const std::string& path) {
    size_t slash = FindLastChar(path, '\\');
    return slash == kNotFound ? std::string() : path.substr(0, slash + 1);
}

std::string FolderOfPath(const std::string& path) {
    size_t slash = FindLastChar(path, '\\');
    return slash == kNotFound ? std::string() : path.substr(0, slash);
}

std::string FileNameOfPath(const std::string& path) {
    size_t slash = FindLastChar(path, '\\');
    return slash == kNotFound ? path : path.substr(slash + 1);
}

bool PathExists(const std::string& path) {
    struct _stat64 status {};
    return _stat64(path.c_str(), &status) == 0;
}

std::optional<std::string> SystemDirectory() {
    char buffer[kSystemDirectoryBufferSize] = {};
    // A result of at least the buffer's size is the size the path needs, not a path.
    const UINT length = GetSystemDirectoryA(buffer, kSystemDirectoryBufferSize);
    if (length == 0 || length >= kSystemDirectoryBufferSize) {
        return std::nullopt;
    }
    return std::string(buffer, length);
}

}  // namespace zelk
