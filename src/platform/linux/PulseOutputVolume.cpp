#include "PulseOutputVolume.h"

#include <QLoggingCategory>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <array>
#include <cmath>

Q_LOGGING_CATEGORY(lcOutputVolume, "murmex.platform.volume", QtInfoMsg)

namespace {

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop *mainloop) const
    {
        pa_threaded_mainloop_stop(mainloop);
        pa_threaded_mainloop_free(mainloop);
    }
};

// Runs with the main loop lock held; the state callback goes first so that nobody is told of our
// own disconnection.
struct ContextDeleter {
    void operator()(pa_context *context) const
    {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop *mainloop) : mainloop(mainloop) { pa_threaded_mainloop_lock(mainloop); }
    ~MainloopLock() { pa_threaded_mainloop_unlock(mainloop); }
    MainloopLock(const MainloopLock &) = delete;
    MainloopLock &operator=(const MainloopLock &) = delete;

private:
    pa_threaded_mainloop *mainloop;
};

// One sink as a request found it.
struct SinkState {
    QString name;
    pa_cvolume volume{};
    bool muted = false;
};

// The average of the channels as a percentage of the normal volume, 0–100.
int percentOf(const pa_cvolume &volume)
{
    const double percent = double(pa_cvolume_avg(&volume)) * 100.0 / double(PA_VOLUME_NORM);
    return std::clamp(int(std::lround(percent)), 0, 100);
}

// `current` with its average moved to `percent` of the normal volume and the proportions between
// its channels kept. Channels that are all silent have no balance to keep and are set alike.
pa_cvolume scaledTo(pa_cvolume current, int percent)
{
    const auto wanted = pa_volume_t(std::lround(double(percent) * double(PA_VOLUME_NORM) / 100.0));
    const pa_volume_t average = pa_cvolume_avg(&current);
    if (average == PA_VOLUME_MUTED)
        return *pa_cvolume_set(&current, current.channels, wanted);
    // pa_cvolume_scale() sets the loudest channel; it is chosen so that the average lands on `wanted`.
    const double loudest = double(pa_cvolume_max(&current)) * double(wanted) / double(average);
    return *pa_cvolume_scale(&current, pa_volume_t(std::min(std::lround(loudest), long(PA_VOLUME_MAX))));
}

} // namespace

class PulseOutputVolume::Connection {
public:
    explicit Connection(std::chrono::milliseconds bound);
    ~Connection();

    std::optional<OutputVolumeReading> read();
    std::optional<SystemOutputVolumeState> set(const QString &sink, int volume, bool isMuted);

private:
    // All below run with the main loop lock held, off the main loop thread, until `deadline`.
    bool ensureReady(pa_usec_t deadline);
    bool startConnecting();
    template <typename Predicate>
    bool waitFor(Predicate done, pa_usec_t deadline);
    // Waits for every request to finish; when the deadline passes first, cancels them all so that
    // no callback writes into the caller's stack later. Null requests (not sent) count as failed.
    bool complete(std::initializer_list<pa_operation *> requests, pa_usec_t deadline);
    std::optional<QString> defaultSinkName(pa_usec_t deadline);
    // Queues the request for a sink's state; `answer` is filled when it arrives.
    pa_operation *requestSinkState(const QString &name, std::optional<SinkState> &answer);
    QString lastError() const;

    static void onContextState(pa_context *, void *userdata);

    const std::chrono::milliseconds bound;
    std::unique_ptr<pa_threaded_mainloop, MainloopDeleter> mainloop;
    std::unique_ptr<pa_context, ContextDeleter> context;
};

PulseOutputVolume::Connection::Connection(std::chrono::milliseconds bound) : bound(bound), mainloop(pa_threaded_mainloop_new())
{
    if (!mainloop) {
        qCWarning(lcOutputVolume) << "cannot create the sound server main loop";
        return;
    }
    pa_threaded_mainloop_set_name(mainloop.get(), "murmex-volume");
    if (pa_threaded_mainloop_start(mainloop.get()) < 0) {
        qCWarning(lcOutputVolume) << "cannot start the sound server main loop thread";
        pa_threaded_mainloop_free(mainloop.release());
        return;
    }
    // Connects in the background: the first call waits for it, within its bound.
    MainloopLock lock(mainloop.get());
    startConnecting();
}

PulseOutputVolume::Connection::~Connection()
{
    if (!mainloop)
        return;
    {
        MainloopLock lock(mainloop.get());
        context.reset();
    }
    mainloop.reset(); // stops the thread, which needs the lock released
}

bool PulseOutputVolume::Connection::startConnecting()
{
    context.reset();
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Murmex");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.tarvo.murmex");
    context.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop.get()), "Murmex", properties));
    pa_proplist_free(properties);
    if (!context) {
        qCWarning(lcOutputVolume) << "cannot create a sound server context";
        return false;
    }
    pa_context_set_state_callback(context.get(), &Connection::onContextState, mainloop.get());
    // No autospawn: starting a server is the desktop's business.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        qCWarning(lcOutputVolume) << "cannot connect to the sound server:" << lastError();
        return false;
    }
    return true;
}

void PulseOutputVolume::Connection::onContextState(pa_context *, void *userdata)
{
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(userdata), 0);
}

bool PulseOutputVolume::Connection::ensureReady(pa_usec_t deadline)
{
    const auto state = [this] { return context ? pa_context_get_state(context.get()) : PA_CONTEXT_UNCONNECTED; };
    if (state() == PA_CONTEXT_READY)
        return true;
    // Lost, refused or never made: one more attempt, within this call's bound.
    if (!PA_CONTEXT_IS_GOOD(state()) && !startConnecting())
        return false;
    waitFor([&] { return !PA_CONTEXT_IS_GOOD(state()) || state() == PA_CONTEXT_READY; }, deadline);
    if (state() == PA_CONTEXT_READY)
        return true;
    qCWarning(lcOutputVolume) << "no sound server:" << (PA_CONTEXT_IS_GOOD(state()) ? QStringLiteral("no answer in time") : lastError());
    return false;
}

template <typename Predicate>
bool PulseOutputVolume::Connection::waitFor(Predicate done, pa_usec_t deadline)
{
    if (done())
        return true;
    if (!context)
        return false;
    struct Alarm {
        pa_threaded_mainloop *mainloop;
        bool rang = false;
    } alarm{mainloop.get()};
    const auto ring = [](pa_mainloop_api *, pa_time_event *, const struct timeval *, void *userdata) {
        auto *alarm = static_cast<Alarm *>(userdata);
        alarm->rang = true;
        pa_threaded_mainloop_signal(alarm->mainloop, 0);
    };
    pa_time_event *timer = pa_context_rttime_new(context.get(), deadline, ring, &alarm);
    if (!timer)
        return false;
    bool satisfied = false;
    while (!(satisfied = done()) && !alarm.rang)
        pa_threaded_mainloop_wait(mainloop.get());
    // Freed with the lock held, so it cannot ring into this stack frame afterwards.
    pa_threaded_mainloop_get_api(mainloop.get())->time_free(timer);
    return satisfied;
}

bool PulseOutputVolume::Connection::complete(std::initializer_list<pa_operation *> requests, pa_usec_t deadline)
{
    const auto signal = [](pa_operation *, void *mainloop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(mainloop), 0); };
    for (pa_operation *request : requests)
        if (request)
            pa_operation_set_state_callback(request, signal, mainloop.get());
    const bool finished = waitFor(
        [&] {
            return std::ranges::all_of(requests, [](pa_operation *request) {
                return !request || pa_operation_get_state(request) != PA_OPERATION_RUNNING;
            });
        },
        deadline);
    bool done = finished;
    for (pa_operation *request : requests) {
        if (!request) {
            done = false;
            continue;
        }
        if (pa_operation_get_state(request) == PA_OPERATION_RUNNING)
            pa_operation_cancel(request);
        else if (pa_operation_get_state(request) != PA_OPERATION_DONE)
            done = false; // cancelled by a lost connection
        pa_operation_unref(request);
    }
    if (!finished)
        qCWarning(lcOutputVolume) << "the sound server did not answer in time";
    return done;
}

std::optional<QString> PulseOutputVolume::Connection::defaultSinkName(pa_usec_t deadline)
{
    std::optional<QString> answer;
    const auto store = [](pa_context *, const pa_server_info *info, void *userdata) {
        if (info && info->default_sink_name)
            *static_cast<std::optional<QString> *>(userdata) = QString::fromUtf8(info->default_sink_name);
    };
    if (!complete({pa_context_get_server_info(context.get(), store, &answer)}, deadline))
        return std::nullopt;
    if (!answer || answer->isEmpty()) {
        qCWarning(lcOutputVolume) << "the sound server has no default output device";
        return std::nullopt;
    }
    return answer;
}

pa_operation *PulseOutputVolume::Connection::requestSinkState(const QString &name, std::optional<SinkState> &answer)
{
    const auto store = [](pa_context *, const pa_sink_info *info, int eol, void *userdata) {
        if (eol == 0 && info)
            *static_cast<std::optional<SinkState> *>(userdata) = SinkState{QString::fromUtf8(info->name), info->volume, info->mute != 0};
    };
    return pa_context_get_sink_info_by_name(context.get(), name.toUtf8().constData(), store, &answer);
}

QString PulseOutputVolume::Connection::lastError() const
{
    return QString::fromUtf8(pa_strerror(context ? pa_context_errno(context.get()) : PA_ERR_CONNECTIONREFUSED));
}

std::optional<OutputVolumeReading> PulseOutputVolume::Connection::read()
{
    if (!mainloop)
        return std::nullopt;
    MainloopLock lock(mainloop.get());
    const pa_usec_t deadline = pa_rtclock_now() + pa_usec_t(std::chrono::microseconds(bound).count());
    if (!ensureReady(deadline))
        return std::nullopt;
    const std::optional<QString> name = defaultSinkName(deadline);
    if (!name)
        return std::nullopt;
    std::optional<SinkState> sink;
    if (!complete({requestSinkState(*name, sink)}, deadline) || !sink) {
        qCWarning(lcOutputVolume) << "cannot read the volume of" << *name << ':' << lastError();
        return std::nullopt;
    }
    return OutputVolumeReading{sink->name, {percentOf(sink->volume), sink->muted}};
}

std::optional<SystemOutputVolumeState> PulseOutputVolume::Connection::set(const QString &sinkName, int volume, bool isMuted)
{
    if (!mainloop)
        return std::nullopt;
    MainloopLock lock(mainloop.get());
    const pa_usec_t deadline = pa_rtclock_now() + pa_usec_t(std::chrono::microseconds(bound).count());
    if (!ensureReady(deadline))
        return std::nullopt;
    const std::optional<QString> name = sinkName.isEmpty() ? defaultSinkName(deadline) : sinkName;
    if (!name)
        return std::nullopt;
    // The channels as they are now, to scale them together.
    std::optional<SinkState> before;
    if (!complete({requestSinkState(*name, before)}, deadline) || !before) {
        qCWarning(lcOutputVolume) << "no output device" << *name << ':' << lastError();
        return std::nullopt;
    }
    const pa_cvolume target = scaledTo(before->volume, std::clamp(volume, 0, 100));
    const QByteArray utf8 = name->toUtf8();
    // One connection handles its requests in order: the last one reads the state both others made.
    std::array<int, 2> accepted{0, 0};
    const auto note = [](pa_context *, int success, void *userdata) { *static_cast<int *>(userdata) = success; };
    std::optional<SinkState> after;
    pa_operation *volumeRequest = pa_context_set_sink_volume_by_name(context.get(), utf8.constData(), &target, note, &accepted[0]);
    pa_operation *muteRequest = pa_context_set_sink_mute_by_name(context.get(), utf8.constData(), isMuted ? 1 : 0, note, &accepted[1]);
    pa_operation *readBack = requestSinkState(*name, after);
    if (!complete({volumeRequest, muteRequest, readBack}, deadline) || !after) {
        qCWarning(lcOutputVolume) << "cannot set the volume of" << *name << ':' << lastError();
        return std::nullopt;
    }
    if (!accepted[0] || !accepted[1])
        qCWarning(lcOutputVolume) << "the sound server refused to change" << *name << ':' << lastError();
    return SystemOutputVolumeState{percentOf(after->volume), after->muted};
}

PulseOutputVolume::PulseOutputVolume(std::chrono::milliseconds bound) : connection(std::make_unique<Connection>(bound)) {}

PulseOutputVolume::~PulseOutputVolume() = default;

std::optional<OutputVolumeReading> PulseOutputVolume::read()
{
    return connection->read();
}

std::optional<SystemOutputVolumeState> PulseOutputVolume::set(const QString &sink, int volume, bool isMuted)
{
    return connection->set(sink, volume, isMuted);
}
