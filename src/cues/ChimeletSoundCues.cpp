#include "ChimeletSoundCues.h"

#include "CueProcesses.h"
#include "audio/NativeStartCue.h"
#include "support/StartupTrace.h"

#include <QFileInfo>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSoundCues, "murmex.cues", QtInfoMsg)

namespace {

std::optional<QString> existingFile(const QString &path)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return std::nullopt;
    return path;
}

} // namespace

ChimeletSoundCues::ChimeletSoundCues(Locations locations, std::function<bool()> tryPlayNativeStartCue)
    : locations(std::move(locations)), tryPlayNativeStartCue(std::move(tryPlayNativeStartCue))
{
}

ChimeletSoundCues::~ChimeletSoundCues()
{
    preparedStartCue.reset();
    // processOwner's destruction then ends whatever player still runs.
}

std::optional<QString> ChimeletSoundCues::bundledSoundPlayerURL() const
{
    const QFileInfo player(locations.soundPlayer);
    if (locations.soundPlayer.isEmpty() || !player.isFile() || !player.isExecutable())
        return std::nullopt;
    return locations.soundPlayer;
}

void ChimeletSoundCues::loadEmbeddedSounds()
{
    // Decoded now, so that no dictation waits for the file: the capture plays these samples.
    if (const auto started = existingFile(locations.recordingStartedSound)) {
        if (auto samples = NativeStartCue::decode(*started))
            NativeStartCue::setBundledSamples(std::make_shared<const std::vector<float>>(std::move(*samples)));
        else
            qCWarning(lcSoundCues) << "the start sound cannot be played by the capture:" << samples.error().description;
    }
    recordingStartedSoundURL = existingFile(locations.recordingStartedSound);
    recordingStoppedSoundURL = existingFile(locations.recordingStoppedSound);
}

void ChimeletSoundCues::prepareStartCue()
{
    cancelPreparedStartCue();
    const auto player = bundledSoundPlayerURL();
    if (!player || !recordingStartedSoundURL)
        return;
    preparedStartCue = RecordingStartCue::launch(*player, *recordingStartedSoundURL, StartupTrace::isEnabled(), &processOwner);
}

void ChimeletSoundCues::cancelPreparedStartCue()
{
    if (auto cue = std::move(preparedStartCue))
        cue->cancel();
}

void ChimeletSoundCues::playRecordingStarted()
{
    playSound(recordingStartedSoundURL, {});
}

void ChimeletSoundCues::playRecordingStopped()
{
    playSound(recordingStoppedSoundURL, {});
}

void ChimeletSoundCues::terminateProcesses()
{
    replacePlaybackProcess(nullptr);
}

void ChimeletSoundCues::replacePlaybackProcess(QProcess *process)
{
    if (soundPlaybackProcess != process)
        CueProcesses::end(soundPlaybackProcess);
    soundPlaybackProcess = process;
}

void ChimeletSoundCues::playSound(const std::optional<QString> &sound, std::function<void()> completion)
{
    if (sound == recordingStartedSoundURL) {
        // The capture plays it: nothing else may.
        if (tryPlayNativeStartCue && tryPlayNativeStartCue()) {
            cancelPreparedStartCue();
            replacePlaybackProcess(nullptr);
            return;
        }
        if (auto cue = std::move(preparedStartCue)) {
            const QPointer<QProcess> process = cue->process();
            const bool played = cue->play([this, process, completion] {
                if (soundPlaybackProcess == process)
                    soundPlaybackProcess = nullptr;
                if (completion)
                    completion();
            });
            if (played) {
                replacePlaybackProcess(process);
                return;
            }
        }
    }
    if (!sound)
        return;
    const auto player = bundledSoundPlayerURL();
    if (!player)
        return;
    QProcess *process = CueProcesses::make(*player, {*sound}, StartupTrace::isEnabled(), &processOwner);
    const QPointer<QProcess> watched = process;
    QObject::connect(process, &QProcess::finished, &processOwner, [this, watched, completion] {
        if (soundPlaybackProcess == watched)
            soundPlaybackProcess = nullptr;
        if (completion)
            completion();
    });
    replacePlaybackProcess(process);
    process->start();
}
