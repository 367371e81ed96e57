// The dictation controller: the global hot keys, the abort key and the shortcut recorder panel.

#include "AppDelegate.h"
#include "AppDelegateSupport.h"

#include "hotkeys/ShortcutRecorderController.h"
#include "platform/Alerts.h"
#include "platform/ApplicationShell.h"
#include "platform/Platform.h"
#include "support/Log.h"
#include "support/Settings.h"

#include <QAction>

using namespace AppDelegateSupport;

// MARK: - Hot keys

bool AppDelegate::isAnyPanelOpen() const
{
    return shortcutRecorderController || personalDictionaryController || recordingVolumeController;
}

namespace {
// Push-to-talk: a press shorter than this was a tap, not speech, and is dropped like Esc.
constexpr qint64 shortestHoldMilliseconds = 300;
} // namespace

void AppDelegate::dictationHotKeyReleased()
{
    hotKeyIsDown = false;
    if (!pushToTalkStartedDictation)
        return;
    pushToTalkStartedDictation = false;
    if (state_ != DictationState::starting && state_ != DictationState::recording)
        return;
    if (const qint64 held = monotonicMilliseconds() - pushToTalkPressedAt; held < shortestHoldMilliseconds) {
        Log::write(QStringLiteral("[MurmexRecording] Pulsación de %1 ms: demasiado corta para dictar, se cancela.").arg(held));
        abortCurrentDictation();
    } else if (state_ == DictationState::recording) {
        stopRecordingAndTranscribe();
    } else {
        // Released before the microphone delivered anything: nothing was recorded.
        Log::write(QStringLiteral("[MurmexRecording] Atajo soltado antes de que empezara la grabación: se cancela."));
        abortCurrentDictation();
    }
}

void AppDelegate::startPushToTalkDictation()
{
    pushToTalkPressedAt = monotonicMilliseconds();
    pushToTalkStartedDictation = true;
    beginRecordingWithPermission();
    // A start that ended at once (no microphone, refused) leaves nothing for the release to stop.
    if (state_ == DictationState::idle)
        pushToTalkStartedDictation = false;
}

void AppDelegate::dictationHotKeyPressed()
{
    if (isAnyPanelOpen() || hotKeyIsDown)
        return;
    hotKeyIsDown = true;
    switch (state_) {
    case DictationState::idle:
        if (settings_.pushToTalk)
            startPushToTalkDictation();
        else
            beginRecordingWithPermission();
        break;
    case DictationState::starting: abortCurrentDictation(); break;
    case DictationState::recording: stopRecordingAndTranscribe(); break;
    case DictationState::transcribing: platform.shell.beep(); break;
    }
}

void AppDelegate::abortHotKeyPressed()
{
    abortCurrentDictation();
}

void AppDelegate::registerDictationHotKeyAtLaunch()
{
    subsystems.hotKeys->installHandler(*this);
    hotKeyIsDown = false;
    subsystems.hotKeys->unregisterDictationHotKey();
    switch (subsystems.hotKeys->registerDictationHotKey(settings_.shortcut)) {
    case HotKeys::Registration::registered:
        return;
    case HotKeys::Registration::taken:
        showShortcutUnavailableAlert(settings_.shortcut);
        return;
    case HotKeys::Registration::unsupported:
        // Said at launch: without global hot keys nothing the user presses reaches Murmex, which
        // would otherwise look like a broken shortcut.
        showHotKeysUnsupportedAlert();
        return;
    }
}

void AppDelegate::showHotKeysUnsupportedAlert()
{
    platform.alerts.showWarning(QStringLiteral("Sin atajo de dictado"), subsystems.hotKeys->unsupportedExplanation(), {aceptar});
}

void AppDelegate::showShortcutUnavailableAlert(const Shortcut &shortcut)
{
    platform.alerts.showInformational(QStringLiteral("Atajo no disponible"),
                                      shortcut.display + QStringLiteral(" ya lo utiliza el escritorio u otra aplicación. Elige otro."),
                                      {aceptar});
}

bool AppDelegate::applyShortcut(const Shortcut &newShortcut)
{
    const Shortcut previous = settings_.shortcut;
    hotKeyIsDown = false;
    subsystems.hotKeys->unregisterDictationHotKey();
    // Only a shortcut that is really registered is stored and shown.
    const HotKeys::Registration registration = subsystems.hotKeys->registerDictationHotKey(newShortcut);
    if (registration == HotKeys::Registration::registered) {
        settings_.shortcut = newShortcut;
        newShortcut.save(defaults);
        defaults.sync();
        if (shortcutMenuItem)
            shortcutMenuItem->setText(QStringLiteral("Atajo…   ") + newShortcut.display);
        updateStatusIcon();
        return true;
    }
    // The old combination comes back; nothing is stored.
    hotKeyIsDown = false;
    subsystems.hotKeys->unregisterDictationHotKey();
    (void)subsystems.hotKeys->registerDictationHotKey(previous);
    if (registration == HotKeys::Registration::unsupported)
        showHotKeysUnsupportedAlert();
    else
        showShortcutUnavailableAlert(newShortcut);
    return false;
}

void AppDelegate::openShortcutRecorder()
{
    if (auto *open = qobject_cast<ShortcutRecorderController *>(shortcutRecorderController.data())) {
        open->showWindow();
        return;
    }
    QPointer<AppDelegate> weak(this);
    auto *panel = new ShortcutRecorderController(settings_.shortcut, platform.shell, [weak](std::optional<Shortcut> chosen) {
        if (!weak)
            return;
        if (chosen)
            weak->applyShortcut(*chosen);
        if (weak->shortcutRecorderController)
            weak->shortcutRecorderController->deleteLater();
        weak->shortcutRecorderController = nullptr;
    });
    shortcutRecorderController = panel;
    panel->showWindow();
}

void AppDelegate::registerAbortKey()
{
    subsystems.hotKeys->unregisterAbortHotKey();
    if (!subsystems.hotKeys->registerAbortHotKey())
        subsystems.hotKeys->installAbortKeyMonitorFallback();
}
