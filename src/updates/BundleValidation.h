#pragma once

#include "UpdateTrust.h"
#include "support/Error.h"

#include <QString>

// Validates an unpacked bundle before it may replace the installed one: bundle.json with exactly
// "identifier" = "com.tarvo.murmex", "version" = expectedVersion and "executable" = "murmex" (and
// no "managedBy"); no symbolic link anywhere; bin/murmex an executable regular file and an ELF for
// this machine's architecture; CodeSignature.json verified under the trust's key. The error's
// description names what failed (for the log).
namespace BundleValidation {

inline const QString identifier = QStringLiteral("com.tarvo.murmex");

[[nodiscard]] Expected<void> validateBundle(const QString &bundleRoot, const QString &expectedVersion, const UpdateTrust &trust);

// The ELF machine of this build (EM_X86_64, EM_AARCH64, …).
[[nodiscard]] int runningMachine();

} // namespace BundleValidation
