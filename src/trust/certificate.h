// Adding the publisher certificate to the TrustedPublisher store.
#pragma once

#include <string>

namespace zelk {

// The complete command line handed to certutil.exe for `certificatePath`; the path is put in
// as it is, between the template's quotation marks.
std::string CertutilCommandLine(const std::string& certificatePath);

// Runs certutil.exe on the certificate and waits for it; the outcome is not reported, since a
// missing certificate must not fail the installation.
void InstallCertificate(const std::string& certificatePath);

}  // namespace zelk
