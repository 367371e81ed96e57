#pragma once

#include <QString>

// Start-up trace: "MURMEX_STARTUP <uptime> <label>" lines that let a developer see where the time
// between the shortcut and the first recorded buffer goes. Written only when the process was
// started with MURMEX_STARTUP_TRACE set to exactly "1".
namespace StartupTrace {

// Reads the environment once; the entry point calls it before anything is traced.
void configureFromEnvironment();
void setEnabled(bool enabled);
bool isEnabled();

} // namespace StartupTrace

void traceRecordingStartup(const QString &label);
