#include "PulseAudioSystem.h"

#include <QLoggingCategory>

#include <pulse/pulseaudio.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <type_traits>
#include <utility>

Q_LOGGING_CATEGORY(lcPulseAudio, "murmex.platform.pulse", QtInfoMsg)

namespace {

using namespace std::chrono_literals;

// How long any single exchange with the server may take before the caller gets its answer anyway.
constexpr std::chrono::milliseconds serverBound = 3s;

constexpr int noDefaultInputDevice = 27;

Error captureError(int pulseError)
{
    if (pulseError == 0)
        pulseError = PA_ERR_UNKNOWN;
    return Error{QStringLiteral("MurmexAudio"), pulseError,
                 QStringLiteral("No se pudo abrir el micrófono (%1).").arg(QString::fromUtf8(pa_strerror(pulseError)))};
}

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop *mainloop) const
    {
        pa_threaded_mainloop_stop(mainloop);
        pa_threaded_mainloop_free(mainloop);
    }
};

// Runs with the main loop lock held. The callbacks go first so that our own disconnection is not
// mistaken for a lost server.
struct ContextDeleter {
    void operator()(pa_context *context) const
    {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

struct OperationDeleter {
    void operator()(pa_operation *operation) const { pa_operation_unref(operation); }
};
using Operation = std::unique_ptr<pa_operation, OperationDeleter>;

// For requests whose reply arrives through their own callback: nobody waits for them.
void release(pa_operation *operation)
{
    if (operation)
        pa_operation_unref(operation);
    else
        qCWarning(lcPulseAudio) << "request to the sound server not sent";
}

void signalMainloop(pa_operation *, void *mainloop)
{
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(mainloop), 0);
}

// Holds the main loop lock for a scope. The main loop thread already holds it whenever our code runs
// there (inside a callback) and must not take it again, so there it does nothing.
class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop *mainloop)
        : mainloop(mainloop), taken(!pa_threaded_mainloop_in_thread(mainloop))
    {
        if (taken)
            pa_threaded_mainloop_lock(mainloop);
    }
    ~MainloopLock()
    {
        if (taken)
            pa_threaded_mainloop_unlock(mainloop);
    }
    MainloopLock(const MainloopLock &) = delete;
    MainloopLock &operator=(const MainloopLock &) = delete;

    bool onMainloopThread() const { return !taken; }

private:
    pa_threaded_mainloop *mainloop;
    bool taken;
};

template <typename Info>
constexpr bool isSourceInfo = std::is_same_v<Info, pa_source_info>;

struct ServerDefaults {
    QString source;
    QString sink;
};

} // namespace

// The main loop, the context and the subscription state. The main loop lock guards every member
// except `mainloop` itself; all callbacks below run on the main loop thread with that lock held.
class PulseAudioSystem::Connection : public std::enable_shared_from_this<Connection> {
public:
    using Listener = std::function<void(const AudioDeviceEvent &)>;

    Connection();
    ~Connection();

    pa_threaded_mainloop *loop() const { return mainloop.get(); }
    bool onMainloopThread() const { return mainloop && pa_threaded_mainloop_in_thread(mainloop.get()); }
    pa_context *currentContext() const { return context.get(); }

    // Lock held. True when the context is ready. Otherwise, off the main loop thread, makes one
    // bounded attempt to connect again (or keeps waiting, within the bound, for one under way).
    bool ensureReady(const MainloopLock &lock);
    // The pulse error number that explains why ensureReady() failed.
    int connectionError() const;

    // Lock held, off the main loop thread: waits until `done()` holds or the bound passes.
    template <typename Predicate>
    bool waitFor(Predicate done, std::chrono::milliseconds bound = serverBound);
    // Lock held, off the main loop thread: waits (bounded) for a request to finish, cancelling it
    // when the bound passes so that its callback never writes into the caller's stack later.
    // 0 when it finished, else a pulse error number.
    int complete(pa_operation *operation);

    // Lock held, ready context, off the main loop thread. Each sets `error` when it answers none.
    std::optional<ServerDefaults> serverDefaults(int &error);
    template <typename Info>
    std::optional<AudioDeviceInfo> deviceInfo(const QString &name, int &error);
    // The default source or sink with its rate: server info, then the device's own info.
    template <typename Info>
    std::optional<AudioDeviceInfo> defaultDevice();

    int subscribe(Listener listener);
    void unsubscribe(int handle);
    void unsubscribeAll();

private:
    bool startConnecting();
    void startWatching(pa_context *watched);
    void emitEvent(const AudioDeviceEvent &event);

    static void onContextState(pa_context *changed, void *userdata);
    static void onSubscription(pa_context *changed, pa_subscription_event_type_t type, uint32_t index, void *userdata);
    static void onServerInfo(pa_context *, const pa_server_info *info, void *userdata);
    template <typename Info, bool announce>
    static void onDeviceInfo(pa_context *, const Info *info, int eol, void *userdata);

    std::unique_ptr<pa_threaded_mainloop, MainloopDeleter> mainloop;
    std::unique_ptr<pa_context, ContextDeleter> context;
    bool contextWasReady = false; // the current context reached READY: its end is a lost server
    int failedConnectError = 0;   // why the last attempt could not even start

    std::map<int, std::shared_ptr<Listener>> listeners;
    int nextHandle = 1;

    // What the events are compared against and named with.
    bool defaultsKnown = false;
    ServerDefaults defaults;
    std::map<uint32_t, QString> sourceNames;
    std::map<uint32_t, QString> sinkNames;
};

PulseAudioSystem::Connection::Connection() : mainloop(pa_threaded_mainloop_new())
{
    if (!mainloop) {
        qCWarning(lcPulseAudio) << "cannot create the sound server main loop";
        return;
    }
    pa_threaded_mainloop_set_name(mainloop.get(), "murmex-pulse");
    if (pa_threaded_mainloop_start(mainloop.get()) < 0) {
        qCWarning(lcPulseAudio) << "cannot start the sound server main loop thread";
        pa_threaded_mainloop_free(mainloop.release());
        return;
    }
    MainloopLock lock(mainloop.get());
    ensureReady(lock);
}

// Never runs on the main loop thread (see the deleter in PulseAudioSystem's constructor).
PulseAudioSystem::Connection::~Connection()
{
    if (!mainloop)
        return;
    MainloopLock lock(mainloop.get());
    context.reset();
}

bool PulseAudioSystem::Connection::startConnecting()
{
    context.reset();
    contextWasReady = false;
    failedConnectError = 0;
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Murmex");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.tarvo.murmex");
    context.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop.get()), "Murmex", properties));
    pa_proplist_free(properties);
    if (!context) {
        failedConnectError = PA_ERR_INTERNAL;
        qCWarning(lcPulseAudio) << "cannot create a sound server context";
        return false;
    }
    pa_context_set_state_callback(context.get(), &Connection::onContextState, this);
    // No autospawn: starting a server is the desktop's business, and it would block this thread.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        failedConnectError = pa_context_errno(context.get());
        qCWarning(lcPulseAudio) << "cannot connect to the sound server:" << pa_strerror(failedConnectError);
        return false;
    }
    return true;
}

bool PulseAudioSystem::Connection::ensureReady(const MainloopLock &lock)
{
    const auto state = [this] { return context ? pa_context_get_state(context.get()) : PA_CONTEXT_UNCONNECTED; };
    if (state() == PA_CONTEXT_READY)
        return true;
    if (lock.onMainloopThread())
        return false;
    if (!PA_CONTEXT_IS_GOOD(state()) && !startConnecting())
        return false;
    waitFor([&] { return !PA_CONTEXT_IS_GOOD(state()) || state() == PA_CONTEXT_READY; });
    if (state() != PA_CONTEXT_READY)
        qCWarning(lcPulseAudio) << "no sound server:" << pa_strerror(connectionError());
    return state() == PA_CONTEXT_READY;
}

int PulseAudioSystem::Connection::connectionError() const
{
    if (!context)
        return failedConnectError ? failedConnectError : PA_ERR_CONNECTIONREFUSED;
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get())))
        return PA_ERR_TIMEOUT; // still connecting when the bound passed
    const int error = pa_context_errno(context.get());
    return error ? error : PA_ERR_CONNECTIONTERMINATED;
}

template <typename Predicate>
bool PulseAudioSystem::Connection::waitFor(Predicate done, std::chrono::milliseconds bound)
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
    const pa_usec_t deadline = pa_rtclock_now() + pa_usec_t(std::chrono::microseconds(bound).count());
    pa_time_event *timer = pa_context_rttime_new(context.get(), deadline, ring, &alarm);
    if (!timer)
        return false;
    bool satisfied = false;
    while (!(satisfied = done()) && !alarm.rang)
        pa_threaded_mainloop_wait(mainloop.get());
    // Freed with the lock held, so it cannot ring into this stack frame afterwards.
    pa_mainloop_api *api = pa_threaded_mainloop_get_api(mainloop.get());
    api->time_free(timer);
    return satisfied;
}

int PulseAudioSystem::Connection::complete(pa_operation *request)
{
    if (!request)
        return context ? pa_context_errno(context.get()) : PA_ERR_CONNECTIONTERMINATED;
    Operation operation(request);
    pa_operation_set_state_callback(request, &signalMainloop, mainloop.get());
    if (!waitFor([&] { return pa_operation_get_state(request) != PA_OPERATION_RUNNING; })) {
        pa_operation_cancel(request);
        qCWarning(lcPulseAudio) << "the sound server did not answer in time";
        return PA_ERR_TIMEOUT;
    }
    if (pa_operation_get_state(request) == PA_OPERATION_DONE)
        return 0;
    return connectionError(); // cancelled: the connection ended meanwhile
}

std::optional<ServerDefaults> PulseAudioSystem::Connection::serverDefaults(int &error)
{
    std::optional<ServerDefaults> answer;
    const auto store = [](pa_context *, const pa_server_info *info, void *userdata) {
        if (info)
            *static_cast<std::optional<ServerDefaults> *>(userdata) =
                ServerDefaults{QString::fromUtf8(info->default_source_name), QString::fromUtf8(info->default_sink_name)};
    };
    error = complete(pa_context_get_server_info(context.get(), store, &answer));
    if (!error && !answer)
        error = pa_context_errno(context.get());
    return answer;
}

template <typename Info>
std::optional<AudioDeviceInfo> PulseAudioSystem::Connection::deviceInfo(const QString &name, int &error)
{
    std::optional<AudioDeviceInfo> answer;
    const auto store = [](pa_context *, const Info *info, int eol, void *userdata) {
        if (eol == 0 && info)
            *static_cast<std::optional<AudioDeviceInfo> *>(userdata) =
                AudioDeviceInfo{QString::fromUtf8(info->name), info->sample_spec.rate, info->sample_spec.channels};
    };
    const QByteArray utf8 = name.toUtf8();
    pa_operation *request = nullptr;
    if constexpr (isSourceInfo<Info>)
        request = pa_context_get_source_info_by_name(context.get(), utf8.constData(), store, &answer);
    else
        request = pa_context_get_sink_info_by_name(context.get(), utf8.constData(), store, &answer);
    error = complete(request);
    if (!error && !answer)
        error = pa_context_errno(context.get()); // the server's reason, usually "no such entity"
    return answer;
}

template <typename Info>
std::optional<AudioDeviceInfo> PulseAudioSystem::Connection::defaultDevice()
{
    if (!mainloop)
        return std::nullopt;
    MainloopLock lock(mainloop.get());
    if (!ensureReady(lock) || lock.onMainloopThread())
        return std::nullopt;
    int error = 0;
    const auto answer = serverDefaults(error);
    const QString name = !answer ? QString() : isSourceInfo<Info> ? answer->source : answer->sink;
    if (name.isEmpty())
        return std::nullopt;
    return deviceInfo<Info>(name, error);
}

int PulseAudioSystem::Connection::subscribe(Listener listener)
{
    if (!mainloop)
        return 0;
    MainloopLock lock(mainloop.get());
    ensureReady(lock); // events only flow over a live connection
    const int handle = nextHandle++;
    listeners.emplace(handle, std::make_shared<Listener>(std::move(listener)));
    return handle;
}

void PulseAudioSystem::Connection::unsubscribe(int handle)
{
    if (!mainloop)
        return;
    // Events are delivered with the lock held, so once it is ours no delivery is under way.
    MainloopLock lock(mainloop.get());
    listeners.erase(handle);
}

void PulseAudioSystem::Connection::unsubscribeAll()
{
    if (!mainloop)
        return;
    MainloopLock lock(mainloop.get());
    listeners.clear();
}

void PulseAudioSystem::Connection::emitEvent(const AudioDeviceEvent &event)
{
    if (listeners.empty())
        return;
    // A listener may unsubscribe itself or others, or drop the last owner of this object.
    const auto keepAlive = shared_from_this();
    const auto snapshot = listeners;
    for (const auto &[handle, listener] : snapshot) {
        if (listeners.contains(handle))
            (*listener)(event);
    }
}

// A fresh connection reads the defaults and the device names that later events are compared with.
void PulseAudioSystem::Connection::startWatching(pa_context *watched)
{
    pa_context_set_subscribe_callback(watched, &Connection::onSubscription, this);
    release(pa_context_subscribe(
        watched, pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK),
        nullptr, nullptr));
    sourceNames.clear();
    sinkNames.clear();
    release(pa_context_get_server_info(watched, &Connection::onServerInfo, this));
    release(pa_context_get_source_info_list(watched, &Connection::onDeviceInfo<pa_source_info, false>, this));
    release(pa_context_get_sink_info_list(watched, &Connection::onDeviceInfo<pa_sink_info, false>, this));
}

void PulseAudioSystem::Connection::onContextState(pa_context *changed, void *userdata)
{
    auto *self = static_cast<Connection *>(userdata);
    switch (pa_context_get_state(changed)) {
    case PA_CONTEXT_READY:
        qCDebug(lcPulseAudio) << "connected to" << pa_context_get_server(changed);
        self->contextWasReady = true;
        self->startWatching(changed);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        if (self->contextWasReady) {
            qCWarning(lcPulseAudio) << "connection to the sound server lost:" << pa_strerror(pa_context_errno(changed));
            self->contextWasReady = false;
            self->emitEvent({AudioDeviceEvent::Kind::serverLost, {}, 0});
        }
        break;
    default:
        break;
    }
    pa_threaded_mainloop_signal(self->mainloop.get(), 0);
}

void PulseAudioSystem::Connection::onSubscription(pa_context *changed, pa_subscription_event_type_t type, uint32_t index, void *userdata)
{
    auto *self = static_cast<Connection *>(userdata);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto change = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        release(pa_context_get_server_info(changed, &Connection::onServerInfo, self));
        return;
    }
    const bool source = facility == PA_SUBSCRIPTION_EVENT_SOURCE;
    if (!source && facility != PA_SUBSCRIPTION_EVENT_SINK)
        return;
    if (change == PA_SUBSCRIPTION_EVENT_REMOVE) {
        auto &names = source ? self->sourceNames : self->sinkNames;
        const auto known = names.find(index);
        if (known == names.end())
            return;
        const QString name = known->second;
        names.erase(known);
        self->emitEvent({source ? AudioDeviceEvent::Kind::sourceRemoved : AudioDeviceEvent::Kind::sinkRemoved, name, 0});
        return;
    }
    // A new device is only remembered; a changed one is announced with its rate.
    const bool announce = change == PA_SUBSCRIPTION_EVENT_CHANGE;
    if (source)
        release(pa_context_get_source_info_by_index(changed, index,
                                                    announce ? &Connection::onDeviceInfo<pa_source_info, true>
                                                             : &Connection::onDeviceInfo<pa_source_info, false>,
                                                    self));
    else
        release(pa_context_get_sink_info_by_index(changed, index,
                                                  announce ? &Connection::onDeviceInfo<pa_sink_info, true>
                                                           : &Connection::onDeviceInfo<pa_sink_info, false>,
                                                  self));
}

void PulseAudioSystem::Connection::onServerInfo(pa_context *, const pa_server_info *info, void *userdata)
{
    auto *self = static_cast<Connection *>(userdata);
    if (!info)
        return;
    const ServerDefaults now{QString::fromUtf8(info->default_source_name), QString::fromUtf8(info->default_sink_name)};
    const ServerDefaults before = std::exchange(self->defaults, now);
    // The very first answer is the baseline. After a lost connection the first answer is compared
    // with what was known before, so that a default changed meanwhile is still announced. Most
    // server events change neither default.
    const bool compare = std::exchange(self->defaultsKnown, true);
    if (compare && now.source != before.source)
        self->emitEvent({AudioDeviceEvent::Kind::defaultSourceChanged, now.source, 0});
    if (compare && now.sink != before.sink)
        self->emitEvent({AudioDeviceEvent::Kind::defaultSinkChanged, now.sink, 0});
}

template <typename Info, bool announce>
void PulseAudioSystem::Connection::onDeviceInfo(pa_context *, const Info *info, int eol, void *userdata)
{
    auto *self = static_cast<Connection *>(userdata);
    if (eol != 0 || !info)
        return; // end of the list, or the device went away before the answer
    const QString name = QString::fromUtf8(info->name);
    (isSourceInfo<Info> ? self->sourceNames : self->sinkNames)[info->index] = name;
    if constexpr (announce)
        self->emitEvent({isSourceInfo<Info> ? AudioDeviceEvent::Kind::sourceChanged : AudioDeviceEvent::Kind::sinkChanged,
                         name, info->sample_spec.rate});
}

// What a capture stream's libpulse callbacks work on. Shared between the stream object and, during
// a callback, the callback itself, so that a stream destroyed from its own callback stays valid
// until that callback returns. Guarded by the main loop lock except `running`.
class CaptureState : public std::enable_shared_from_this<CaptureState> {
public:
    CaptureState(CaptureCallbacks callbacks, pa_threaded_mainloop *mainloop, std::size_t frameBytes)
        : callbacks(std::move(callbacks)), mainloop(mainloop), frameBytes(frameBytes)
    {
    }
    void attach(pa_stream *created)
    {
        stream = created;
        pa_stream_set_state_callback(stream, &CaptureState::onState, this);
        pa_stream_set_read_callback(stream, &CaptureState::onRead, this);
    }

    // The server accepted the stream: from now on its end is reported through onFailure.
    void confirm()
    {
        opened = true;
        running = true;
    }

    // Lock held (or on the main loop thread). After this no callback of ours runs for the stream:
    // they are unset, and any one under way has the lock, which the caller holds now.
    void detach()
    {
        finished = true;
        running = false;
        if (!stream)
            return;
        pa_stream *detached = std::exchange(stream, nullptr);
        pa_stream_set_read_callback(detached, nullptr, nullptr);
        pa_stream_set_state_callback(detached, nullptr, nullptr);
        const pa_stream_state_t state = pa_stream_get_state(detached);
        if (state == PA_STREAM_READY)
            pa_stream_disconnect(detached);
        else if (state == PA_STREAM_CREATING) // cannot disconnect before the server has answered
            pa_stream_set_state_callback(detached, &CaptureState::disconnectOnceReady, nullptr);
        pa_stream_unref(detached);
    }

    pa_stream *stream = nullptr;
    int endError = 0; // why the stream failed, read while the stream still knew its context
    std::atomic<bool> running{false};

private:
    static void disconnectOnceReady(pa_stream *late, void *)
    {
        if (pa_stream_get_state(late) == PA_STREAM_READY)
            pa_stream_disconnect(late);
    }

    static void onState(pa_stream *changed, void *userdata)
    {
        const auto state = static_cast<CaptureState *>(userdata)->shared_from_this();
        const pa_stream_state_t now = pa_stream_get_state(changed);
        if (now == PA_STREAM_FAILED || now == PA_STREAM_TERMINATED) {
            // Only inside this callback does the stream still know its context, which holds the reason.
            const int error = pa_context_errno(pa_stream_get_context(changed));
            state->endError = error ? error : PA_ERR_KILLED;
        }
        if (state->endError && state->opened && !state->finished) {
            state->finished = true;
            state->running = false;
            if (state->callbacks.onFailure)
                state->callbacks.onFailure(QString::fromUtf8(pa_strerror(state->endError)));
        }
        pa_threaded_mainloop_signal(state->mainloop, 0);
    }

    static void onRead(pa_stream *readable, std::size_t, void *userdata)
    {
        const auto state = static_cast<CaptureState *>(userdata)->shared_from_this();
        pa_stream_ref(readable); // stays valid should a callback stop the stream (which drops its reference)
        while (!state->finished) {
            const void *data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(readable, &data, &bytes) < 0 || bytes == 0)
                break;
            if (data)
                state->deliverAudio(static_cast<const std::uint8_t *>(data), bytes);
            else
                state->deliverHole(bytes);
            if (state->finished)
                break; // stopped from a callback: the stream is already disconnected
            pa_stream_drop(readable);
        }
        pa_stream_unref(readable);
    }

    // The server hands out whole frames; should a fragment ever end inside one, its bytes wait in
    // `partialFrame` for the rest so that the samples never shift.
    void deliverAudio(const std::uint8_t *data, std::size_t bytes)
    {
        if (partialBytes > 0) {
            const std::size_t taken = std::min(frameBytes - partialBytes, bytes);
            std::memcpy(partialFrame.data() + partialBytes, data, taken);
            partialBytes += taken;
            data += taken;
            bytes -= taken;
            if (partialBytes < frameBytes)
                return;
            partialBytes = 0;
            if (callbacks.onAudio)
                callbacks.onAudio(partialFrame.data(), 1);
            if (finished)
                return;
        }
        const std::size_t frames = bytes / frameBytes;
        if (frames > 0 && callbacks.onAudio)
            callbacks.onAudio(data, quint32(frames));
        partialBytes = bytes - frames * frameBytes;
        std::memcpy(partialFrame.data(), data + frames * frameBytes, partialBytes);
    }

    // The bytes of a frame cut by the hole are lost with it.
    void deliverHole(std::size_t bytes)
    {
        const std::size_t frames = (partialBytes + bytes + frameBytes - 1) / frameBytes;
        partialBytes = 0;
        if (callbacks.onHole)
            callbacks.onHole(quint32(frames));
    }

    const CaptureCallbacks callbacks;
    pa_threaded_mainloop *const mainloop;
    const std::size_t frameBytes;
    std::array<std::uint8_t, PA_CHANNELS_MAX * sizeof(float)> partialFrame{};
    std::size_t partialBytes = 0;
    bool opened = false;
    bool finished = false; // stopped, or its failure reported
};

class PulseAudioCaptureStream final : public AudioCaptureStream {
public:
    PulseAudioCaptureStream(std::shared_ptr<PulseAudioSystem::Connection> connection, std::shared_ptr<CaptureState> state,
                            CaptureFormat delivered, QString device)
        : connection(std::move(connection)), state(std::move(state)), delivered(delivered), device(std::move(device))
    {
    }
    ~PulseAudioCaptureStream() override { stop(); }

    CaptureFormat format() const override { return delivered; }
    QString deviceName() const override { return device; }
    bool isRunning() const override { return state->running; }

    // From another thread this waits for a callback under way to return (it holds the lock). From
    // inside a callback (the main loop thread) it detaches in place without waiting; the callback
    // that called it then returns without touching the stream again.
    void stop() override
    {
        MainloopLock lock(connection->loop());
        state->detach();
    }

private:
    const std::shared_ptr<PulseAudioSystem::Connection> connection; // keeps the main loop alive
    const std::shared_ptr<CaptureState> state;
    const CaptureFormat delivered;
    const QString device;
};

// A cue on a corked playback stream. The libpulse callbacks run on the main loop thread with its
// lock held; every other member function takes that lock. `ready`, `played` and `firstOutput` are
// also read without it.
class PulseCuePlayback final : public AudioCuePlayback {
public:
    PulseCuePlayback(std::shared_ptr<PulseAudioSystem::Connection> connection, std::shared_ptr<const std::vector<float>> samples)
        : connection(std::move(connection)), samples(std::move(samples))
    {
    }

    ~PulseCuePlayback() override
    {
        MainloopLock lock(connection->loop());
        if (!stream)
            return;
        pa_stream *detached = std::exchange(stream, nullptr);
        pa_stream_set_state_callback(detached, nullptr, nullptr);
        pa_stream_set_write_callback(detached, nullptr, nullptr);
        pa_stream_set_started_callback(detached, nullptr, nullptr);
        if (pa_stream_get_state(detached) == PA_STREAM_READY)
            pa_stream_disconnect(detached);
        else if (pa_stream_get_state(detached) == PA_STREAM_CREATING) // the server has not answered yet
            pa_stream_set_state_callback(
                detached,
                [](pa_stream *late, void *) {
                    if (pa_stream_get_state(late) == PA_STREAM_READY)
                        pa_stream_disconnect(late);
                },
                nullptr);
        pa_stream_unref(detached);
    }

    // Lock held. False when the stream cannot even be asked for.
    bool connect(pa_context *context, quint32 sampleRate)
    {
        const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, sampleRate, 1};
        if (!pa_sample_spec_valid(&sampleFormat) || samples->empty())
            return false;
        pa_proplist *properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, "Aviso de inicio");
        pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "event");
        stream = pa_stream_new_with_proplist(context, "Aviso de inicio", &sampleFormat, nullptr, properties);
        pa_proplist_free(properties);
        if (!stream)
            return false;
        pa_stream_set_state_callback(stream, &PulseCuePlayback::onState, this);
        pa_stream_set_write_callback(stream, &PulseCuePlayback::onWritable, this);
        pa_stream_set_started_callback(stream, &PulseCuePlayback::onStarted, this);
        // The server keeps the whole sound (up to two seconds of it) while the stream is corked. No
        // latency request: a stream that only waits should not make the sink work in smaller blocks.
        totalBytes = samples->size() * sizeof(float);
        pa_buffer_attr buffer{};
        buffer.maxlength = uint32_t(-1);
        buffer.tlength = uint32_t(std::min<std::size_t>(totalBytes, pa_usec_to_bytes(2 * PA_USEC_PER_SEC, &sampleFormat)));
        buffer.prebuf = buffer.minreq = buffer.fragsize = uint32_t(-1);
        return pa_stream_connect_playback(stream, nullptr, &buffer, PA_STREAM_START_CORKED, nullptr, nullptr) >= 0;
    }

    bool isReady() const override { return ready.load(); }

    bool waitUntilReady(std::chrono::milliseconds bound) override
    {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!ready.load()) {
            {
                MainloopLock lock(connection->loop());
                if (lock.onMainloopThread() || !stream || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
                    return false;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    bool play() override
    {
        MainloopLock lock(connection->loop());
        if (!stream || !ready.load() || played.load() || pa_stream_get_state(stream) != PA_STREAM_READY)
            return false;
        // The server mixes the sound in from the moment it has uncorked the stream: its answer
        // marks the first output (unless the stream reports having started before it arrives).
        pa_operation *uncork = pa_stream_cork(
            stream, 0, [](pa_stream *, int success, void *self) {
                if (success)
                    onStarted(nullptr, self);
            },
            this);
        if (!uncork)
            return false;
        pa_operation_unref(uncork);
        played = true;
        // A sound shorter than the prebuffering threshold would otherwise wait for more data.
        release(pa_stream_trigger(stream, nullptr, nullptr));
        writeMore();
        return true;
    }

    qint64 firstOutputNanoseconds() const override { return firstOutput.load(); }

private:
    static void onState(pa_stream *changed, void *userdata)
    {
        if (pa_stream_get_state(changed) == PA_STREAM_READY)
            static_cast<PulseCuePlayback *>(userdata)->writeMore();
        else if (!PA_STREAM_IS_GOOD(pa_stream_get_state(changed)))
            static_cast<PulseCuePlayback *>(userdata)->ready = false;
    }

    static void onWritable(pa_stream *, std::size_t, void *userdata) { static_cast<PulseCuePlayback *>(userdata)->writeMore(); }

    static void onStarted(pa_stream *, void *userdata)
    {
        const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
        qint64 none = 0;
        static_cast<PulseCuePlayback *>(userdata)->firstOutput.compare_exchange_strong(none, now);
    }

    // Lock held. Hands the server as much of the sound as it asks for; the stream is ready once
    // its buffer is full or the whole sound is in it. The server receives the samples before any
    // later uncork, which travels on the same connection.
    void writeMore()
    {
        if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY)
            return;
        const auto *bytes = reinterpret_cast<const char *>(samples->data());
        while (writtenBytes < totalBytes) {
            const std::size_t writable = pa_stream_writable_size(stream);
            if (writable == std::size_t(-1))
                return;
            std::size_t length = std::min(writable, totalBytes - writtenBytes);
            length -= length % sizeof(float);
            if (length == 0)
                break;
            // Copied by libpulse (no free callback), so the samples are not needed afterwards.
            if (pa_stream_write(stream, bytes + writtenBytes, length, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                return;
            writtenBytes += length;
        }
        if (writtenBytes > 0)
            ready = true;
    }

    const std::shared_ptr<PulseAudioSystem::Connection> connection; // keeps the main loop alive
    const std::shared_ptr<const std::vector<float>> samples;
    pa_stream *stream = nullptr;
    std::size_t totalBytes = 0;
    std::size_t writtenBytes = 0;
    std::atomic<bool> ready{false};
    std::atomic<bool> played{false};
    std::atomic<qint64> firstOutput{0};
};

PulseAudioSystem::PulseAudioSystem()
    : connection(new Connection, [](Connection *ended) {
          // The last owner may let go inside a callback, for instance a stream destroyed from its own
          // callback after this object. There the context cannot be disconnected (libpulse would wait
          // for the audio block that the callback still holds) nor the thread stopped, so a helper
          // thread ends the connection. Its destructor first takes the lock, so nothing is torn down
          // before that callback has returned.
          if (ended->onMainloopThread())
              std::thread([ended] { delete ended; }).detach();
          else
              delete ended;
      })
{
}

// Capture streams still open keep the connection; the listeners end with this object.
PulseAudioSystem::~PulseAudioSystem()
{
    connection->unsubscribeAll();
}

std::optional<AudioDeviceInfo> PulseAudioSystem::defaultSource()
{
    return connection->defaultDevice<pa_source_info>();
}

std::optional<AudioDeviceInfo> PulseAudioSystem::defaultSink()
{
    return connection->defaultDevice<pa_sink_info>();
}

Expected<std::unique_ptr<AudioCaptureStream>>
PulseAudioSystem::openCapture(const QString &device, CaptureFormat format, CaptureCallbacks callbacks, int fragmentMilliseconds)
{
    if (!connection->loop())
        return std::unexpected(captureError(PA_ERR_INTERNAL));
    MainloopLock lock(connection->loop());
    if (lock.onMainloopThread())
        return std::unexpected(captureError(PA_ERR_BADSTATE)); // it could not wait for its own thread
    if (!connection->ensureReady(lock))
        return std::unexpected(captureError(connection->connectionError()));

    // An empty device means the default source, resolved here so that the stream is bound to it
    // (it never moves) and reports its name.
    int error = 0;
    QString name = device;
    if (name.isEmpty()) {
        const auto defaults = connection->serverDefaults(error);
        if (!defaults)
            return std::unexpected(captureError(error));
        if (defaults->source.isEmpty())
            return std::unexpected(Error{QStringLiteral("MurmexAudio"), noDefaultInputDevice,
                                         QStringLiteral("No hay ningún micrófono predeterminado.")});
        name = defaults->source;
    }
    const auto source = connection->deviceInfo<pa_source_info>(name, error);
    if (!source) {
        qCWarning(lcPulseAudio) << "no capture source" << name << ':' << pa_strerror(error);
        return std::unexpected(captureError(error));
    }
    if (format.sampleRate == 0)
        format.sampleRate = source->sampleRate;

    const pa_sample_spec sampleSpec{format.sampleFormat == SampleFormat::float32 ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_S16LE,
                              format.sampleRate, format.channels};
    if (!pa_sample_spec_valid(&sampleSpec) || fragmentMilliseconds <= 0)
        return std::unexpected(captureError(PA_ERR_INVALID));

    // Another caller may replace a failed context while this one waits below: the stream does not
    // keep its context alive, so its error is read through the stream's state callback instead.
    pa_context *context = connection->currentContext();
    auto state = std::make_shared<CaptureState>(std::move(callbacks), connection->loop(), pa_frame_size(&sampleSpec));
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, "Dictado");
    pa_stream *stream = pa_stream_new_with_proplist(context, "Dictado", &sampleSpec, nullptr, properties);
    pa_proplist_free(properties);
    if (!stream)
        return std::unexpected(captureError(pa_context_errno(context)));
    state->attach(stream); // the state owns the reference from here on

    // Without a latency request and an explicit fragment size the server delivers the first audio
    // only after about two seconds. A stream that remembered being muted would record silence.
    pa_buffer_attr buffer{};
    buffer.maxlength = uint32_t(-1);
    buffer.tlength = buffer.prebuf = buffer.minreq = uint32_t(-1);
    buffer.fragsize = uint32_t(pa_usec_to_bytes(pa_usec_t(fragmentMilliseconds) * PA_USEC_PER_MSEC, &sampleSpec));
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_START_UNMUTED);
    if (pa_stream_connect_record(stream, name.toUtf8().constData(), &buffer, flags) < 0) {
        error = pa_context_errno(context);
        state->detach();
        return std::unexpected(captureError(error));
    }
    const bool settled = connection->waitFor([&] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; });
    if (pa_stream_get_state(stream) != PA_STREAM_READY) {
        error = settled ? state->endError : PA_ERR_TIMEOUT;
        qCWarning(lcPulseAudio) << "capture on" << name << "refused:" << pa_strerror(error);
        state->detach();
        return std::unexpected(captureError(error));
    }
    state->confirm();

    const pa_sample_spec *actual = pa_stream_get_sample_spec(stream);
    format.sampleRate = actual->rate;
    format.channels = actual->channels;
    const QString bound = QString::fromUtf8(pa_stream_get_device_name(stream));
    if (const pa_buffer_attr *granted = pa_stream_get_buffer_attr(stream))
        qCDebug(lcPulseAudio) << "capture on" << bound << "at" << actual->rate << "Hz, fragments of" << granted->fragsize << "bytes";
    return std::make_unique<PulseAudioCaptureStream>(connection, std::move(state), format, bound);
}

std::unique_ptr<AudioCuePlayback> PulseAudioSystem::prepareCuePlayback(std::shared_ptr<const std::vector<float>> samples, quint32 sampleRate)
{
    if (!connection->loop() || !samples)
        return nullptr;
    MainloopLock lock(connection->loop());
    if (lock.onMainloopThread() || !connection->ensureReady(lock))
        return nullptr;
    auto cue = std::make_unique<PulseCuePlayback>(connection, std::move(samples));
    if (!cue->connect(connection->currentContext(), sampleRate)) {
        qCWarning(lcPulseAudio) << "cue playback refused:" << pa_strerror(pa_context_errno(connection->currentContext()));
        return nullptr;
    }
    return cue;
}

int PulseAudioSystem::subscribe(std::function<void(const AudioDeviceEvent &)> listener)
{
    return connection->subscribe(std::move(listener));
}

void PulseAudioSystem::unsubscribe(int handle)
{
    connection->unsubscribe(handle);
}
