#pragma once

#include "RecordingStartCue.h"
#include "SoundCues.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The start and stop sounds, played so that they start at once and never hold up a recording:
//
//  - the start cue in mode "exclude", by the capture itself (tryPlayNativeStartCue), from the sound
//    decoded at launch and already waiting, corked, in the sound server;
//  - the start cue in mode "allow", by the cue player launched while the dictation was starting,
//    which has the sound loaded and waits for its trigger byte (RecordingStartCue);
//  - everything else (the stop cue, and the start cue when neither of those can play it), by a cue
//    player launched there and then with the sound to play.
//
// At most one player plays at a time: starting another sound ends the one playing. Without the
// sounds or the player nothing is played and nothing is said. Main thread only.
class ChimeletSoundCues final : public SoundCues {
public:
    struct Locations {
        QString recordingStartedSound; // share/murmex/DictationStarted.wav of the bundle
        QString recordingStoppedSound; // share/murmex/DictationStopped.wav
        QString soundPlayer;           // libexec/chimelet
    };

    // `tryPlayNativeStartCue` asks the capture to play the start cue itself; true when it does.
    ChimeletSoundCues(Locations locations, std::function<bool()> tryPlayNativeStartCue);
    ~ChimeletSoundCues() override;

    void loadEmbeddedSounds() override;
    void prepareStartCue() override;
    void cancelPreparedStartCue() override;
    void playRecordingStarted() override;
    void playRecordingStopped() override;
    void terminateProcesses() override;

    // Plays `sound` (none: only the start cue's own paths can play it) by the fastest path there is;
    // `completion` runs once a player process that played it has ended.
    void playSound(const std::optional<QString> &sound, std::function<void()> completion);

    // The cue player, when it is there and executable.
    std::optional<QString> bundledSoundPlayerURL() const;
    bool hasPreparedStartCue() const { return preparedStartCue != nullptr; }
    qint64 preparedPlayerProcessId() const { return preparedStartCue && preparedStartCue->process() ? preparedStartCue->process()->processId() : 0; }
    bool isPlayerRunning() const { return soundPlaybackProcess != nullptr; }

private:
    void replacePlaybackProcess(QProcess *process);

    const Locations locations;
    const std::function<bool()> tryPlayNativeStartCue;
    std::optional<QString> recordingStartedSoundURL;
    std::optional<QString> recordingStoppedSoundURL;
    QObject processOwner; // parent of every player process; ends those still running with this object
    QPointer<QProcess> soundPlaybackProcess;
    std::unique_ptr<RecordingStartCue> preparedStartCue;
};
