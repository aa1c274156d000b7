#include "trust/certificate.h"

#include "platform/win32.h"
#include "runtime/process.h"

namespace zelk {
namespace {

constexpr char kCertutil[] = "certutil.exe";

// The byte before "addstore" is 0x96 (an en dash in code page 1252), not a hyphen: the
// command line must stay byte for byte what the package has always run. The literal is split
// so that the "a" is not read as part of the hex escape.
constexpr char kAddStoreTemplate[] =
    "-f \x96"
    "addstore \"TrustedPublisher\" \"%s\"";
constexpr char kPathPlaceholder[] = "%s";

static_assert(sizeof(kAddStoreTemplate) - 1 == 36, "the template is 36 bytes");

}  // namespace

std::string CertutilCommandLine(const std::string& certificatePath) {
    std::string commandLine = kAddStoreTemplate;
    // Inserted, not formatted: a path holding "%" must not be read as a conversion.
    commandLine.replace(commandLine.find(kPathPlaceholder), sizeof(kPathPlaceholder) - 1,
                        certificatePath);
    return commandLine;
}

void InstallCertificate(const std::string& certificatePath) {
    RunProcessAndWait(kCertutil, CertutilCommandLine(certificatePath), INFINITE, true);
}

}  // namespace zelk
