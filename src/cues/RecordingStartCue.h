#pragma once

#include <QPointer>
#include <QProcess>
#include <QString>

#include <functional>
#include <memory>

// The cue player started ahead of a dictation (computer-audio mode "allow"): `chimelet SOUND
// --wait-for-recording`, which loads and prebuffers the sound and then waits for one byte on its
// standard input. play() sends the byte 0x01; cancel() closes the input instead, which makes the
// player end quietly, and terminates it.
//
// The input is one end of a socket pair, so that writing to a player that has died fails with an
// error (EPIPE) instead of raising SIGPIPE in Murmex. Main thread only.
class RecordingStartCue {
public:
    // Launches the player; returns null when the socket pair cannot be made or the launch fails.
    // `parent` owns the process object. With `trace`, the player's standard error is Murmex's own.
    static std::unique_ptr<RecordingStartCue> launch(const QString &player, const QString &sound, bool trace, QObject *parent);
    ~RecordingStartCue(); // cancels, unless the trigger was sent

    RecordingStartCue(const RecordingStartCue &) = delete;
    RecordingStartCue &operator=(const RecordingStartCue &) = delete;

    // Sends the trigger to a player still running. When it went out, `completion` runs (on the main
    // thread) once the player has ended, the trigger is closed and true is returned; otherwise the
    // cue is cancelled and false returned.
    bool play(std::function<void()> completion);
    void cancel();

    // The player process (none once it has ended); it goes on to play after play() and then ends.
    QProcess *process() const { return process_; }

private:
    RecordingStartCue(QProcess *process, int trigger);
    void closeTrigger();

    QPointer<QProcess> process_; // deletes itself once ended
    int trigger;                 // -1 once closed
};
