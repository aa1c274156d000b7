// What a machine can give the cases that need more than a plain Windows VM: the ANSI code page
// 932, a kernel driver that loads, write access to the device tree's Enum key. On Windows the
// kit's prepare.cmd records the machine's facts in machine-facts.txt beside the programs; under
// Wine they are known (the runner picks the code page, Wine loads any driver and lets an
// administrator write everywhere).
#pragma once

#include <windows.h>

#include <fstream>
#include <map>
#include <string>

#include "support/wine_detection.h"

namespace zelk::wine {

enum class Need { CodePage932, CodePage1252, LoadableDriver, EnumTree };

namespace detail {

inline std::string FactsPath() {
    char path[MAX_PATH] = {};
    const std::string program(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return program.substr(0, program.find_last_of('\\') + 1) + "machine-facts.txt";
}

// The "name=value" lines of machine-facts.txt; empty when the machine was not prepared.
inline std::map<std::string, std::string> ReadFacts(const std::string& path) {
    std::map<std::string, std::string> facts;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            facts[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return facts;
}

inline std::string CodePageLack(UINT wanted) {
    if (GetACP() == wanted) {
        return "";
    }
    return "needs the ANSI code page " + std::to_string(wanted) + ", and this machine's is " +
           std::to_string(GetACP()) + " (the system locale sets it: Control Panel, Region, " +
           "Administrative, Change system locale; a restart follows)";
}

// Why the facts say no driver loads here, or "".
inline std::string DriverLack(const std::map<std::string, std::string>& facts) {
    const auto fact = [&](const char* name) {
        const auto found = facts.find(name);
        return found == facts.end() ? std::string() : found->second;
    };
    if (fact("secure_boot") == "on") {
        return "needs a kernel driver that loads: Secure Boot is on, which keeps test signing off "
               "(turn it off in the VM's firmware settings, see prepare.cmd)";
    }
    if (fact("test_signing") != "on") {
        return "needs a kernel driver that loads: test signing is off (bcdedit /set testsigning "
               "on as administrator, then a restart; see prepare.cmd)";
    }
    if (fact("test_root_valid").rfind("no ", 0) == 0) {
        return "needs a kernel driver that loads: the test root certificate is not valid at this "
               "machine's clock (" +
               fact("test_root_valid") + "; see prepare.cmd)";
    }
    if (fact("test_root") != "installed") {
        return "needs a kernel driver that loads: the test root certificate is not in the "
               "machine's Root store (prepare.cmd puts it there)";
    }
    return "";
}

// Whether this process may write below the device tree's Enum key, which Windows keeps for the
// system; asked by creating and removing a key of its own.
inline std::string EnumTreeLack() {
    constexpr const char* kProbe = "SYSTEM\\CurrentControlSet\\Enum\\ZelkWriteProbe";
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProbe, 0, nullptr, 0, KEY_WRITE,
                                           nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return "needs write access to SYSTEM\\CurrentControlSet\\Enum, which Windows gives only "
               "to the system (error " +
               std::to_string(status) + "); run the program as LocalSystem to include it";
    }
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProbe);
    return "";
}

}  // namespace detail

// Why this machine cannot give what a case needs, said as the case's skip reason; "" when it
// can. A machine that was not prepared lacks the driver.
inline std::string MachineLacks(Need need) {
    switch (need) {
        case Need::CodePage932:
            return WineBeneath() ? "" : detail::CodePageLack(932);
        case Need::CodePage1252:
            return WineBeneath() ? "" : detail::CodePageLack(1252);
        case Need::LoadableDriver: {
            if (WineBeneath()) {
                return "";
            }
            const auto facts = detail::ReadFacts(detail::FactsPath());
            return facts.empty() ? "needs a kernel driver that loads, and the machine was not "
                                   "prepared: run prepare.cmd as administrator first"
                                 : detail::DriverLack(facts);
        }
        case Need::EnumTree:
            return WineBeneath() ? "" : detail::EnumTreeLack();
    }
    return "";
}

}  // namespace zelk::wine
