#include "trust/certificate.h"

#include "platform/win32.h"
#include "runtime/paths.h"
#include "runtime/process.h"

namespace zelk {
namespace {

constexpr char kCertutilFile[] = "\\certutil.exe";
// certutil reads its arguments through the C runtime: the first token is its own name, so the
// command line starts with the program's path. Plain hyphen-minus signs: a dash outside ASCII
// is a lead byte in the East Asian code pages and would swallow the verb's first letter.
constexpr char kAddStoreArguments[] = " -f -addstore \"TrustedPublisher\" \"";

}  // namespace

std::optional<std::string> SystemCertutilPath() {
    const std::optional<std::string> directory = SystemDirectory();
    if (!directory) {
        return std::nullopt;
    }
    return *directory + kCertutilFile;
}

std::string CertutilCommandLine(const std::string& programPath,
                                const std::string& certificatePath) {
    return "\"" + programPath + "\"" + kAddStoreArguments + certificatePath + "\"";
}

void InstallCertificate(const std::string& certificatePath) {
    // Without the system directory nothing is started: a bare "certutil.exe" would be taken from
    // the current directory, and this runs as LocalSystem.
    const std::optional<std::string> certutil = SystemCertutilPath();
    if (!certutil) {
        return;
    }
    RunProcessAndWait(*certutil, CertutilCommandLine(*certutil, certificatePath), INFINITE, true);
}

}  // namespace zelk
