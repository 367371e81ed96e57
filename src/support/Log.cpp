#include "Log.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex &sinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

Log::Sink &currentSink()
{
    static Log::Sink sink;
    return sink;
}

} // namespace

void Log::write(const QString &line)
{
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
}

void Log::setSink(Sink sink)
{
    std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
}
