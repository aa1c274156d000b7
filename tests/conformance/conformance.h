// The platform conformance suite: one set of cases stating how the Windows calls the product
// relies on behave, built twice: for the host against winsim and with mingw for Windows, where it
// runs under Wine. winsim follows the Windows answers.
//
// Every Windows answer carries its evidence in a comment: a Microsoft documentation page, or the
// Wine conformance test (file and function) that asserts it on Windows; or it is unconfirmed, and
// the case says so with Unconfirmed() and why that answer was chosen. Where Wine is known to
// answer otherwise, EXPECT_AS_WINDOWS marks the difference with the Wine version it was seen on;
// a mark whose Wine answer turns into the Windows answer fails on that Wine, so that it is
// dropped, and is only reported on a later Wine, which may have mended it.
//
// What only a test does to the machine (laying down files, opening an installer session, choosing
// the code page or the caller's token) goes through the few functions below: winsim's control
// API on the host, the real system on Windows.
#pragma once

#include "platform/win32.h"
#include "runtime/handles.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

namespace conformance {

// Poison for the last error, so that a call that leaves it alone is told from one that sets it.
constexpr DWORD kPoison = 0xdeadbeef;

bool UnderWine();
// The version of the Wine this runs under; "" elsewhere.
std::string WineVersion();
// Running on Windows itself, where a belief is settled rather than checked; also under Wine in
// windows mode (ZELK_WINDOWS_MODE=1), which takes Windows' branches where Wine can serve them.
bool OnRealWindows();
// Notes that a Windows-only branch ran (a property of the case, which the windows-mode layer
// counts).
void WindowsBranch(const std::string& name);

// What a case may need beyond a plain machine, and why this machine cannot give it ("" when it
// can): only a real Windows machine can lack one, and the case then skips with that reason.
enum class Need { CodePage932, CodePage1252, LoadableDriver, EnumTree };
std::string MachineLacks(Need need);

// Waits on Windows; the simulated machine never lags.
void Pause(DWORD milliseconds);

// The Wine of these machines (Debian 12), which the marks were taken on.
constexpr const char* kWine8 = "8.0";

// Folder of this test's files, with a trailing backslash; created for the test.
std::string TestFolder();
void PutFile(const std::string& path, const std::string& text = "");
void PutFolder(const std::string& path);

// Lays a program at `path` that records the command line it is started with, and reads that
// record back once it has run ("" when it did not run).
void PutRecordingProgram(const std::string& path);
std::string RecordedCommandLine(const std::string& path);

// A kernel driver image that loads and unloads (Windows) or is there (host).
std::string LoadableDriver();

// Registry key below HKEY_LOCAL_MACHINE that holds this test's keys; created for the test.
std::string TestKey();

// A device the system knows (its instance key under SYSTEM\CurrentControlSet\Enum is there) but
// that has no devnode now: installed once, not connected. Windows lets only the system write that
// key, so there a device gets this way by being unplugged; Wine builds its device lists from the
// key alone.
void PutAbsentDevice(const std::string& instanceId, const std::string& hardwareId,
                     const GUID& classGuid);

// An installer session on an empty package, with the property "Probe" set to "value".
MSIHANDLE OpenSession();
void CloseSession(MSIHANDLE session);
// The property probe (property_probe.h) as a custom action sees the session: on Windows run by
// the installer as the package's DLL custom action; on the host through winsim's custom-action
// view. And the same probe through the caller's own handle of a session it opened.
std::string ProbeInCustomAction(MSIHANDLE session);
std::string ProbeLocally(MSIHANDLE session);

// Whether the process runs with the ANSI code page; on Windows the runner chooses it (its
// group's locale), on the host the case sets it.
bool UseCodePage(UINT codePage);

// Whether the caller's token can be switched to a filtered (non-elevated) one, and the switch.
// Wine has no UAC: there the cases of a filtered caller are skipped and rest on Windows'
// documentation.
bool FilteredTokenAvailable();
void UseFilteredToken();

// The product's own owners of the handles a case opens.
using zelk::DeviceList;
using zelk::RegKeyHandle;
using zelk::ServiceHandle;

// Fresh machine for each case on the host; on Windows each case works under its own names.
class Case : public ::testing::Test {
  protected:
    void SetUp() override;
};

// Says in the output and the report that the Windows answer at `tag` rests on no test or page,
// and why it was chosen; the summary counts such cases.
void Unconfirmed(const char* tag, const char* why);

// Evidence short of a Windows test for an unconfirmed answer: sources that point to the chosen
// answer without asserting it on Windows (a page on a neighbouring case, Wine's own code, user
// reports), or sources that point different ways. The answer stays unconfirmed; the summary
// counts unconfirmed answers by the evidence they have.
enum class Evidence { Indirect, Conflicting };
void Weigh(const char* tag, Evidence evidence, const char* sources);

// Records the mark (for the summary) and checks the answer of the side this runs on.
template <class Actual, class Windows, class Wine>
void ExpectAsWindows(const Actual& actual, const Windows& windows, const Wine& wine,
                     const char* wineVersion, const char* tag, const char* file, int line) {
    std::ostringstream answers;
    answers << "Windows " << ::testing::PrintToString(windows) << ", Wine " << wineVersion << " "
            << ::testing::PrintToString(wine);
    ::testing::Test::RecordProperty(std::string("wine_difference:") + tag, answers.str());
    if (!UnderWine() && !WineVersion().empty()) {
        // Windows mode: Wine's own answer is why the mark is there, and no fault.
        if (actual == static_cast<Actual>(wine) && !(actual == static_cast<Actual>(windows))) {
            std::cout << "[ WINE ONLY ] " << tag << ": Wine " << WineVersion()
                      << " cannot serve the Windows branch (" << answers.str() << ")\n";
            ::testing::Test::RecordProperty(std::string("wine_cannot:") + tag, answers.str());
            return;
        }
        WindowsBranch(std::string("as_windows:") + tag);
    }
    if (UnderWine() && actual == static_cast<Actual>(windows)) {
        // A later Wine that mends the difference is no fault; the Wine the mark was seen on
        // giving the Windows answer means the mark itself is wrong.
        if (WineVersion() != wineVersion) {
            std::cout << "[ MARK OFF ] " << tag << ": Wine " << WineVersion()
                      << " gives the Windows answer; drop the mark once no machine runs Wine "
                      << wineVersion << "\n";
            return;
        }
        ADD_FAILURE_AT(file, line) << tag << ": Wine " << WineVersion()
                                   << " gives the Windows answer. Wine now agrees: drop the mark ("
                                   << answers.str() << ")";
        return;
    }
    const bool asExpected =
        UnderWine() ? actual == static_cast<Actual>(wine) : actual == static_cast<Actual>(windows);
    if (!asExpected) {
        ADD_FAILURE_AT(file, line)
            << tag << ": got " << ::testing::PrintToString(actual) << " under "
            << (UnderWine() ? "Wine " + WineVersion() : std::string("Windows rules")) << "; "
            << answers.str();
    }
}

// An answer no evidence settles: winsim gives `chosen`, Wine gives `wine`; on Windows the answer
// is only reported, so that a run there settles it.
template <class Actual, class Chosen, class Wine>
void ExpectUnconfirmed(const Actual& actual, const Chosen& chosen, const Wine& wine,
                       const char* tag, const char* why, const char* file, int line) {
    Unconfirmed(tag, why);
    if (OnRealWindows()) {
        WindowsBranch(std::string("settles:") + tag);
        if (!WineVersion().empty()) {
            // Windows mode: Wine's answer settles nothing, so it is only checked as Wine's.
            if (!(actual == static_cast<Actual>(wine))) {
                ADD_FAILURE_AT(file, line)
                    << tag << ": got " << ::testing::PrintToString(actual)
                    << " under Wine, expected " << ::testing::PrintToString(wine);
            }
            return;
        }
        std::cout << "[ SETTLES  ] " << tag << ": Windows answers "
                  << ::testing::PrintToString(actual) << " (chosen "
                  << ::testing::PrintToString(chosen) << ")\n";
        ::testing::Test::RecordProperty(std::string("windows_answer:") + tag,
                                        ::testing::PrintToString(actual));
        return;
    }
    const auto expected = UnderWine() ? static_cast<Actual>(wine) : static_cast<Actual>(chosen);
    if (!(actual == expected)) {
        ADD_FAILURE_AT(file, line) << tag << ": got " << ::testing::PrintToString(actual)
                                   << ", expected " << ::testing::PrintToString(expected);
    }
}

}  // namespace conformance

// `actual` must be `windows` on Windows and in winsim, and is known to be `wine` under the Wine
// of version `wineVersion`.
#define EXPECT_AS_WINDOWS(actual, windows, wine, wineVersion, tag)                              \
    ::conformance::ExpectAsWindows((actual), (windows), (wine), (wineVersion), (tag), __FILE__, \
                                   __LINE__)
// `actual` is `chosen` in winsim and `wine` under Wine; on Windows it is reported, not checked.
#define EXPECT_UNCONFIRMED(actual, chosen, wine, tag, why) \
    ::conformance::ExpectUnconfirmed((actual), (chosen), (wine), (tag), (why), __FILE__, __LINE__)

// The last error after a call, compared as the DWORD it is.
#define EXPECT_LAST_ERROR(code) EXPECT_EQ(GetLastError(), static_cast<DWORD>(code))
