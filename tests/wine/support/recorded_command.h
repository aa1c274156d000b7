// The recording stand-in (record_args.exe, laid beside the test programs): copied to where the
// DLL looks for a program, it writes the command line it was started with to "<its path>.args".
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "support/machine_probe.h"
#include "support/test_files.h"

namespace zelk::wine {

inline std::string RecordFileOf(const std::string& programPath) {
    return programPath + ".args";
}

// Puts the stand-in at `programPath`, with no record left from an earlier run.
inline bool PlaceRecorder(const std::string& programPath) {
    DeleteFileA(RecordFileOf(programPath).c_str());
    return CopyFileA(BesideProgram("record_args.exe").c_str(), programPath.c_str(), FALSE) != FALSE;
}

inline void RemoveRecorder(const std::string& programPath) {
    DeleteFileA(programPath.c_str());
    DeleteFileA(RecordFileOf(programPath).c_str());
}

// The raw bytes the stand-in at `programPath` recorded; nothing when it did not run.
inline std::optional<std::string> RecordedCommandLine(const std::string& programPath) {
    return ReadFileBytes(RecordFileOf(programPath));
}

}  // namespace zelk::wine
