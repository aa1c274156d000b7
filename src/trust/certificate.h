// Adding the publisher certificate to the TrustedPublisher store.
#pragma once

#include <optional>
#include <string>

namespace zelk {

// The certificate utility of the system directory; nothing when that directory cannot be read
// whole.
std::optional<std::string> SystemCertutilPath();

// The complete command line handed to the certificate utility at `programPath`: that path
// quoted, then the addstore arguments with `certificatePath` put in as it is, between quotation
// marks.
std::string CertutilCommandLine(const std::string& programPath, const std::string& certificatePath);

// Runs the system's certutil.exe on the certificate and waits for it; the outcome is not
// reported, since a missing certificate must not fail the installation.
void InstallCertificate(const std::string& certificatePath);

}  // namespace zelk
