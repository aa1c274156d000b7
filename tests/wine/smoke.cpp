// The short session `make` ends with: load the DLL, open a real installer session, call each of
// the nine custom actions with no data and print what each returned.
#include <cstdio>

#include "support/dll_under_test.h"
#include "support/installer_session.h"

int main() {
    using namespace zelk::wine;
    const DllUnderTest& dll = DllUnderTest::Instance();
    if (!dll.Problem().empty()) {
        std::printf("smoke: %s\n", dll.Problem().c_str());
        return 1;
    }
    const InstallerSession session;
    if (!session.IsOpen()) {
        std::printf("smoke: MsiOpenPackageA failed with %u\n", session.OpenResult());
        return 1;
    }
    std::printf("smoke: zelk_ca.dll loaded, installer session %lu open\n",
                static_cast<unsigned long>(session.Handle()));
    int ordinal = 1;
    for (const char* name : kExportNames) {
        std::printf("  %d %-36s -> %u\n", ordinal++, name, dll.Call(name, session.Handle()));
    }
    return 0;
}
