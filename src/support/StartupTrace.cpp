#include "StartupTrace.h"

#include "Log.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<bool> traceEnabled{false};
}

void StartupTrace::configureFromEnvironment()
{
    const char *value = std::getenv("MURMEX_STARTUP_TRACE");
    setEnabled(value != nullptr && std::strcmp(value, "1") == 0);
}

void StartupTrace::setEnabled(bool enabled)
{
    traceEnabled.store(enabled);
}

bool StartupTrace::isEnabled()
{
    return traceEnabled.load();
}

void traceRecordingStartup(const QString &label)
{
    if (!traceEnabled.load())
        return;
    // The monotonic clock counts from boot and stops during suspend: the system uptime.
    const double uptime = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    Log::write(QStringLiteral("MURMEX_STARTUP %1 %2").arg(uptime, 0, 'f', 6).arg(label));
}
