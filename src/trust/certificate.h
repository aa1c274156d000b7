// Adding the publisher certificate to the TrustedPublisher store.
#pragma once

#include <string>

namespace zelk {

void InstallCertificate(const std::string& certificatePath);

}  // namespace zelk
