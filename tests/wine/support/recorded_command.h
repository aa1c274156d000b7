// The recording stand-in (record_args.exe, laid beside the test programs): copied to where the
// DLL looks for a program, it writes the command line it was started with to "<its path>.args"
// and the arguments the C runtime made of it to "<its path>.argv".
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "support/machine_probe.h"
#include "support/test_files.h"

namespace zelk::wine {

inline std::string RecordFileOf(const std::string& programPath) {
    return programPath + ".args";
}

inline std::string ArgumentsFileOf(const std::string& programPath) {
    return programPath + ".argv";
}

inline void RemoveRecords(const std::string& programPath) {
    DeleteFileA(RecordFileOf(programPath).c_str());
    DeleteFileA(ArgumentsFileOf(programPath).c_str());
}

// Puts the stand-in at `programPath`, with no record left from an earlier run.
inline bool PlaceRecorder(const std::string& programPath) {
    RemoveRecords(programPath);
    return CopyFileA(BesideProgram("record_args.exe").c_str(), programPath.c_str(), FALSE) != FALSE;
}

inline void RemoveRecorder(const std::string& programPath) {
    DeleteFileA(programPath.c_str());
    RemoveRecords(programPath);
}

// The raw bytes the stand-in at `programPath` recorded; nothing when it did not run.
inline std::optional<std::string> RecordedCommandLine(const std::string& programPath) {
    return ReadFileBytes(RecordFileOf(programPath));
}

// argv as the stand-in at `programPath` was given it by the C runtime, argv[0] first; nothing
// when it did not run.
inline std::optional<std::vector<std::string>> RecordedArguments(const std::string& programPath) {
    const std::optional<std::string> bytes = ReadFileBytes(ArgumentsFileOf(programPath));
    if (!bytes) {
        return std::nullopt;
    }
    std::vector<std::string> arguments;
    for (size_t start = 0; start < bytes->size();) {
        const size_t end = bytes->find('\0', start);
        arguments.push_back(bytes->substr(start, end - start));
        start = end == std::string::npos ? bytes->size() : end + 1;
    }
    return arguments;
}

}  // namespace zelk::wine
