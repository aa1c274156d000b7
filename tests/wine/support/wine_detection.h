// Whether the test programs run under Wine, which decides which of their branches they take:
// Wine's workarounds there, Windows' own answers elsewhere. ZELK_WINDOWS_MODE=1 (the
// windows-mode test layer) hides Wine from those decisions, so that the Windows branches run
// under Wine too; the runner's infrastructure (the stand-ins, the machine's facts, a retried
// start) still asks WineBeneath(). Each Windows branch a program takes is noted through
// WindowsBranch(), and each one Wine cannot serve through WineCannotServe(); a GoogleTest
// program turns both into properties of the running case, which the layer counts.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zelk::wine {

// True under Wine, whose ntdll exports wine_get_version; never on Windows.
inline bool WineBeneath() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The windows-mode switch, read by the test programs only.
inline bool WindowsModeAsked() {
    const char* value = std::getenv("ZELK_WINDOWS_MODE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// Whether to take Wine's branches: under Wine, unless windows mode is asked for.
inline bool UnderWine() {
    return WineBeneath() && !WindowsModeAsked();
}

// Where a program records a property of the running case; none by default.
using PropertySink = void (*)(const std::string& name, const std::string& value);
inline PropertySink& WindowsBranchSink() {
    static PropertySink sink = nullptr;
    return sink;
}

// Notes that the Windows branch `name` ran.
inline void WindowsBranch(const std::string& name) {
    if (WindowsBranchSink() != nullptr) {
        WindowsBranchSink()("windows_branch:" + name, "ran");
    }
}

// Under Wine in windows mode, for a Windows branch that Wine cannot serve: says so with the
// reason and returns true, so that the caller takes Wine's branch instead. False elsewhere.
inline bool WineCannotServe(const std::string& name, const std::string& reason) {
    if (!WineBeneath() || !WindowsModeAsked()) {
        return false;
    }
    std::printf("[ WINE ONLY ] %s: %s\n", name.c_str(), reason.c_str());
    if (WindowsBranchSink() != nullptr) {
        WindowsBranchSink()("wine_cannot:" + name, reason);
    }
    return true;
}

// Windows writes msiexec's verbose log in UTF-16LE with a byte-order mark, Wine in single bytes
// of the ANSI code page. In windows mode (unless ZELK_WINDOWS_MODE_LOGS=as-written) a log Wine
// wrote is rewritten as Windows writes it, before the program reads it.
inline void LogAsWindowsWritesIt(const std::string& path) {
    const char* logs = std::getenv("ZELK_WINDOWS_MODE_LOGS");
    if (!WineBeneath() || !WindowsModeAsked() ||
        (logs != nullptr && std::strcmp(logs, "as-written") == 0)) {
        return;
    }
    std::string bytes;
    if (FILE* in = std::fopen(path.c_str(), "rb")) {
        char chunk[65536];
        for (size_t read; (read = std::fread(chunk, 1, sizeof(chunk), in)) > 0;) {
            bytes.append(chunk, read);
        }
        std::fclose(in);
    }
    if (bytes.empty() || bytes.rfind("\xFF\xFE", 0) == 0) {
        return;
    }
    const int length =
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                        length);
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
        std::fwrite("\xFF\xFE", 1, 2, out);
        std::fwrite(text.data(), sizeof(wchar_t), text.size(), out);
        std::fclose(out);
    }
}

}  // namespace zelk::wine
