// chimelet SOUND [--wait-for-recording]
//
// Plays one sound file to its end and exits. With --wait-for-recording it first loads the sound
// and prebuffers it on a corked stream, then waits for one byte on standard input: 0x01 plays it
// at once; end of input or any other byte ends the program quietly, without a sound (the parent
// changed its mind or went away). Murmex starts it this way ahead of a dictation so that the start
// cue sounds the moment recording has begun.
//
// Exit statuses: 0 played to the end, or released without playing; 1 wrong command line; 2 the
// player could not be prepared or playback could not start or finish; 3 the file is not a
// readable sound, or standard input could not be read. Nothing is printed, except the start-up
// trace line when MURMEX_STARTUP_TRACE is "1".

#include "CuePlayer.h"
#include "Sound.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

enum ExitStatus { done = 0, usageError = 1, playerFailed = 2, unreadable = 3 };

// How long the server may take to accept the connection, the stream and each request.
constexpr auto serverBound = 5000ms;
// How much longer than the sound itself its playback may take before the program gives up.
constexpr auto playbackSlack = 5000ms;

enum class Trigger { play, release, failed };

Trigger waitForTrigger()
{
    unsigned char byte = 0;
    for (;;) {
        const ssize_t count = ::read(STDIN_FILENO, &byte, 1);
        if (count == 1)
            return byte == 0x01 ? Trigger::play : Trigger::release;
        if (count == 0)
            return Trigger::release;
        if (errno != EINTR)
            return Trigger::failed;
    }
}

bool startupTraceEnabled()
{
    const char *value = std::getenv("MURMEX_STARTUP_TRACE");
    return value != nullptr && std::string_view(value) == "1";
}

// The same line and clock (the monotonic uptime) as Murmex's own start-up trace, so both sort together.
void traceSoundPlayCalled()
{
    const double uptime = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::fprintf(stderr, "MURMEX_STARTUP %.6f sound-play-called\n", uptime);
}

} // namespace

int main(int argc, char **argv)
{
    const bool waiting = argc == 3 && std::string_view(argv[2]) == "--wait-for-recording";
    if (argc != 2 && !waiting)
        return usageError;
    // A parent that closed its end of standard error must not kill a playing cue.
    std::signal(SIGPIPE, SIG_IGN);
    const bool trace = startupTraceEnabled();

    const auto sound = loadSound(argv[1]);
    if (!sound)
        return unreadable;
    CuePlayer player(*sound);
    if (!player.prepare(serverBound))
        return playerFailed;

    if (waiting) {
        switch (waitForTrigger()) {
        case Trigger::play:
            break;
        case Trigger::release:
            return done;
        case Trigger::failed:
            return unreadable;
        }
    }
    if (!player.play(serverBound))
        return playerFailed;
    if (trace)
        traceSoundPlayCalled();
    return player.finish(playbackSlack) ? done : playerFailed;
}
