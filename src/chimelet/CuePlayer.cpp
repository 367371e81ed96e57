#include "CuePlayer.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdint>

using namespace std::chrono_literals;

class CuePlayer::Lock {
public:
    explicit Lock(pa_threaded_mainloop *mainloop) : mainloop(mainloop) { pa_threaded_mainloop_lock(mainloop); }
    ~Lock() { pa_threaded_mainloop_unlock(mainloop); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    pa_threaded_mainloop *mainloop;
};

void CuePlayer::MainloopDeleter::operator()(pa_threaded_mainloop *mainloop) const
{
    pa_threaded_mainloop_stop(mainloop);
    pa_threaded_mainloop_free(mainloop);
}

void CuePlayer::ContextDeleter::operator()(pa_context *context) const
{
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
}

void CuePlayer::StreamDeleter::operator()(pa_stream *stream) const
{
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

CuePlayer::CuePlayer(const Sound &sound)
    : sound(sound), frameBytes(sizeof(float) * std::size_t(sound.channels)), soundBytes(sizeof(float) * sound.samples.size()),
      mainloop(pa_threaded_mainloop_new())
{
}

CuePlayer::~CuePlayer()
{
    if (!mainloop)
        return;
    // The stream and the context belong to the mainloop's thread while it runs.
    Lock lock(mainloop.get());
    stream.reset();
    context.reset();
}

bool CuePlayer::prepare(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const auto remaining = [deadline] {
        return std::max(0us, std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now()));
    };
    if (!mainloop)
        return false;
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Chimelet");
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "event");
    context.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop.get()), "Chimelet", properties));
    pa_proplist_free(properties);
    if (!context || pa_threaded_mainloop_start(mainloop.get()) < 0)
        return false;

    Lock lock(mainloop.get());
    pa_context_set_state_callback(
        context.get(), [](pa_context *, void *self) { onStateChanged(self); }, this);
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    const auto contextSettled = [this] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get())) || pa_context_get_state(context.get()) == PA_CONTEXT_READY; };
    if (!waitUntil(contextSettled, remaining()) || pa_context_get_state(context.get()) != PA_CONTEXT_READY)
        return false;

    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, std::uint32_t(sound.sampleRate), std::uint8_t(sound.channels)};
    pa_channel_map channelMap;
    if (unsigned(sound.channels) > PA_CHANNELS_MAX || !pa_sample_spec_valid(&sampleFormat)
        || !pa_channel_map_init_extend(&channelMap, unsigned(sound.channels), PA_CHANNEL_MAP_DEFAULT))
        return false;
    stream.reset(pa_stream_new(context.get(), "Cue", &sampleFormat, &channelMap));
    if (!stream)
        return false;
    pa_stream_set_state_callback(
        stream.get(), [](pa_stream *, void *self) { onStateChanged(self); }, this);
    pa_stream_set_write_callback(stream.get(), onWritable, this);

    // The server holds the whole sound (up to two seconds of it) while the stream is corked. No
    // latency adjustment: a stream that only waits should not make the sink wake up more often.
    const std::size_t bufferBytes = std::min(soundBytes, std::max(frameBytes, pa_usec_to_bytes(2 * PA_USEC_PER_SEC, &sampleFormat)));
    pa_buffer_attr attributes;
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = std::uint32_t(bufferBytes);
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = std::uint32_t(-1);
    attributes.fragsize = std::uint32_t(-1);
    if (pa_stream_connect_playback(stream.get(), nullptr, &attributes, PA_STREAM_START_CORKED, nullptr, nullptr) < 0)
        return false;
    const auto streamSettled = [this] { return streamBroken() || pa_stream_get_state(stream.get()) == PA_STREAM_READY; };
    if (!waitUntil(streamSettled, remaining()) || streamBroken())
        return false;
    writeMore();

    // The server handles requests in order: once it has answered this one, it holds what was written.
    pa_operation *operation = pa_stream_update_timing_info(stream.get(), onAnswer, &synced);
    if (!operation)
        return false;
    pa_operation_unref(operation);
    return awaitAnswer(synced, remaining());
}

bool CuePlayer::play(std::chrono::milliseconds bound)
{
    Lock lock(mainloop.get());
    if (streamBroken())
        return false;
    playing = true;
    pa_operation *operation = pa_stream_cork(stream.get(), 0, onAnswer, &uncorked);
    if (!operation)
        return false;
    pa_operation_unref(operation);
    // A sound shorter than the stream's prebuffering threshold would otherwise wait for the drain.
    if ((operation = pa_stream_trigger(stream.get(), nullptr, nullptr)))
        pa_operation_unref(operation);
    writeMore();
    return awaitAnswer(uncorked, bound);
}

bool CuePlayer::finish(std::chrono::milliseconds slack)
{
    Lock lock(mainloop.get());
    const auto length = std::chrono::microseconds(pa_bytes_to_usec(soundBytes, pa_stream_get_sample_spec(stream.get())));
    return awaitAnswer(drained, length + slack);
}

void CuePlayer::onStateChanged(void *self)
{
    pa_threaded_mainloop_signal(static_cast<CuePlayer *>(self)->mainloop.get(), 0);
}

void CuePlayer::onWritable(pa_stream *, std::size_t, void *self)
{
    static_cast<CuePlayer *>(self)->writeMore();
}

void CuePlayer::onAnswer(pa_stream *, int success, void *answer)
{
    auto *pending = static_cast<Answer *>(answer);
    pending->result = success ? 1 : -1;
    pa_threaded_mainloop_signal(pending->player->mainloop.get(), 0);
}

// Called with the mainloop locked. The bound is the mainloop's own timer, so a server that never
// answers cannot hold the program.
template <typename Condition>
bool CuePlayer::waitUntil(Condition done, std::chrono::microseconds bound)
{
    struct Alarm {
        pa_threaded_mainloop *mainloop;
        bool rung = false;
    } alarm{mainloop.get()};
    const auto ring = [](pa_mainloop_api *, pa_time_event *, const struct timeval *, void *userdata) {
        auto *alarm = static_cast<Alarm *>(userdata);
        alarm->rung = true;
        pa_threaded_mainloop_signal(alarm->mainloop, 0);
    };
    pa_time_event *timer = pa_context_rttime_new(context.get(), pa_rtclock_now() + pa_usec_t(bound.count()), ring, &alarm);
    if (!timer)
        return done();
    while (!done() && !alarm.rung)
        pa_threaded_mainloop_wait(mainloop.get());
    pa_threaded_mainloop_get_api(mainloop.get())->time_free(timer);
    return done();
}

bool CuePlayer::awaitAnswer(const Answer &answer, std::chrono::microseconds bound)
{
    waitUntil([&] { return answer.result != 0 || streamBroken(); }, bound);
    return answer.result == 1 && !streamBroken();
}

bool CuePlayer::streamBroken() const
{
    return writeFailed || !stream || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream.get()));
}

// Hands the server as much of the sound as it asks for; once all of it is written and playback has
// been asked for, drains the stream, whose answer comes when the last sample has been played.
// Runs on the mainloop's thread or with the mainloop locked.
void CuePlayer::writeMore()
{
    if (streamBroken() || pa_stream_get_state(stream.get()) != PA_STREAM_READY)
        return;
    const auto *bytes = reinterpret_cast<const char *>(sound.samples.data());
    while (writtenBytes < soundBytes) {
        const std::size_t writable = pa_stream_writable_size(stream.get());
        if (writable == std::size_t(-1)) {
            writeFailed = true;
            break;
        }
        std::size_t length = std::min(writable, soundBytes - writtenBytes);
        length -= length % frameBytes;
        if (length == 0)
            break;
        if (pa_stream_write(stream.get(), bytes + writtenBytes, length, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            writeFailed = true;
            break;
        }
        writtenBytes += length;
    }
    if (writeFailed) {
        pa_threaded_mainloop_signal(mainloop.get(), 0);
        return;
    }
    if (playing && !draining && writtenBytes == soundBytes) {
        draining = true;
        if (pa_operation *operation = pa_stream_drain(stream.get(), onAnswer, &drained))
            pa_operation_unref(operation);
        else
            drained.result = -1;
    }
}
