#pragma once

#include "Sound.h"

#include <chrono>
#include <cstddef>
#include <memory>

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;

// One sound played through a PulseAudio playback stream of its own. prepare() does everything that
// takes time (connecting, creating the stream corked, handing the server the sound, or as much of
// it as the stream holds), so that play() only has to uncork it: the sound then starts within a
// few milliseconds.
//
// Client name "Chimelet", media role "event". Every wait on the server is bounded.
class CuePlayer {
public:
    explicit CuePlayer(const Sound &sound);
    ~CuePlayer();
    CuePlayer(const CuePlayer &) = delete;
    CuePlayer &operator=(const CuePlayer &) = delete;

    // Connects and prebuffers. False when the server cannot be reached or refuses the stream.
    [[nodiscard]] bool prepare(std::chrono::milliseconds bound);
    // Starts playback; true once the server has confirmed it.
    [[nodiscard]] bool play(std::chrono::milliseconds bound);
    // Waits until the whole sound has been played. False when the stream fails or the sound has
    // not finished within its own length plus `slack`.
    [[nodiscard]] bool finish(std::chrono::milliseconds slack);

private:
    struct MainloopDeleter {
        void operator()(pa_threaded_mainloop *mainloop) const;
    };
    struct ContextDeleter {
        void operator()(pa_context *context) const;
    };
    struct StreamDeleter {
        void operator()(pa_stream *stream) const;
    };
    class Lock;

    // The server's answer to one request: 0 while pending, 1 success, -1 failure.
    struct Answer {
        CuePlayer *player;
        int result = 0;
    };

    static void onStateChanged(void *self);
    static void onWritable(pa_stream *stream, std::size_t bytes, void *self);
    static void onAnswer(pa_stream *stream, int success, void *answer);

    template <typename Condition>
    bool waitUntil(Condition done, std::chrono::microseconds bound);
    bool awaitAnswer(const Answer &answer, std::chrono::microseconds bound);
    bool streamBroken() const;
    void writeMore();

    const Sound &sound;
    const std::size_t frameBytes;
    const std::size_t soundBytes;
    std::size_t writtenBytes = 0;
    bool writeFailed = false;
    bool playing = false;
    bool draining = false;
    Answer synced{this}, uncorked{this}, drained{this};

    std::unique_ptr<pa_threaded_mainloop, MainloopDeleter> mainloop;
    std::unique_ptr<pa_context, ContextDeleter> context;
    std::unique_ptr<pa_stream, StreamDeleter> stream;
};
