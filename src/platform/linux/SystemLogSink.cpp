#include "SystemLogSink.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>

bool SystemLogSink::install()
{
    openlog("Murmex", LOG_PID, LOG_USER);
    // Standard error also gets the lines when a person watches it, and where no system log listens
    // (containers, the headless test desktop), so they are never lost.
    const bool alsoToStandardError = isatty(STDERR_FILENO) == 1 || access("/dev/log", F_OK) != 0;
    Log::setSink([alsoToStandardError](const QString &line) {
        const QByteArray bytes = line.toUtf8();
        syslog(LOG_NOTICE, "%s", bytes.constData());
        if (alsoToStandardError)
            std::fprintf(stderr, "%s\n", bytes.constData());
    });
    return alsoToStandardError;
}
