// The dictation controller: the status menu, its entries and their actions.

#include "AppDelegate.h"
#include "AppDelegateSupport.h"

#include "Autostart.h"
#include "Bundle.h"
#include "EngineHelpWindow.h"
#include "dictionary/PersonalDictionaryController.h"
#include "dictionary/PersonalDictionaryStore.h"
#include "platform/Alerts.h"
#include "platform/ApplicationShell.h"
#include "platform/Platform.h"
#include "support/Log.h"
#include "support/Settings.h"
#include "transcription/KeptRecordings.h"
#include "volume/OutputVolumeController.h"
#include "volume/RecordingVolumeController.h"

#include <QAction>
#include <QActionGroup>
#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QUrl>

#include <algorithm>

using namespace AppDelegateSupport;

namespace {

constexpr qsizetype recentDictationsKept = 10;
constexpr qsizetype recentDictationTitleLength = 40;

QString dictionaryMenuTitle(TranscriptionLanguage language)
{
    return QStringLiteral("Diccionario de ") + displayName(language) + QStringLiteral("…");
}

QString recordingVolumeMenuTitle(int percentage)
{
    return QStringLiteral("Volumen al grabar…   %1 %").arg(percentage);
}

QString engineStatusTitle(EngineStatus status)
{
    switch (status) {
    case EngineStatus::ready: return QStringLiteral("Motor de voz: listo");
    case EngineStatus::loading: return QStringLiteral("Motor de voz: cargando…");
    case EngineStatus::commandLineOnly: return QStringLiteral("Motor de voz: sin servidor, se usa whisper-cli");
    case EngineStatus::modelMissing: return QStringLiteral("Motor de voz: falta el modelo");
    case EngineStatus::engineMissing: return QStringLiteral("Motor de voz: no instalado");
    }
    return {};
}

// A transcript as a menu title: one line, at most 40 characters. "&" would mark a mnemonic.
QString recentDictationTitle(const QString &text)
{
    QString title = text.simplified();
    if (title.size() > recentDictationTitleLength) {
        title.truncate(recentDictationTitleLength);
        if (title.back().isHighSurrogate())
            title.chop(1);
        title = title.trimmed() + QStringLiteral("…");
    }
    return title.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

} // namespace

// MARK: - Building

void AppDelegate::buildStatusMenu()
{
    statusMenu_ = std::make_unique<QMenu>();
    QMenu &menu = *statusMenu_;
    const QString version = Bundle::shortVersion();
    menu.addAction(QStringLiteral("Murmex ") + (version.isEmpty() ? QStringLiteral("—") : version))->setEnabled(false);
    engineStatusMenuItem = menu.addAction(engineStatusTitle(subsystems.transcription->engineStatus()));
    engineStatusMenuItem->setEnabled(false);
    installEngineMenuItem = menu.addAction(QStringLiteral("Cómo instalar el motor de voz…"));
    connect(installEngineMenuItem, &QAction::triggered, this, [] { EngineHelpWindow::present(); });
    menu.addSeparator();

    shortcutMenuItem = menu.addAction(QStringLiteral("Atajo…   ") + settings_.shortcut.display);
    // Queued: the menu closes first, so its deactivation cannot cancel the new panel.
    connect(shortcutMenuItem, &QAction::triggered, this, &AppDelegate::openShortcutRecorder, Qt::QueuedConnection);

    QMenu *languages = menu.addMenu(QStringLiteral("Idioma"));
    auto *languageGroup = new QActionGroup(languages);
    for (TranscriptionLanguage language : allTranscriptionLanguages) {
        QAction *item = languages->addAction(displayName(language));
        item->setData(rawValue(language));
        item->setCheckable(true);
        item->setChecked(language == settings_.transcriptionLanguage);
        item->setActionGroup(languageGroup);
        connect(item, &QAction::triggered, this, [this, item] { selectTranscriptionLanguage(item); });
        languageMenuItems[language] = item;
    }

    dictionaryMenuItem = menu.addAction(dictionaryMenuTitle(settings_.transcriptionLanguage));
    connect(dictionaryMenuItem, &QAction::triggered, this, &AppDelegate::openPersonalDictionary, Qt::QueuedConnection);

    QMenu *computerAudio = menu.addMenu(QStringLiteral("Sonido del ordenador"));
    auto *modeGroup = new QActionGroup(computerAudio);
    for (ComputerAudioMode mode : {ComputerAudioMode::exclude, ComputerAudioMode::allow}) {
        QAction *item = computerAudio->addAction(menuTitle(mode));
        item->setData(rawValue(mode));
        item->setCheckable(true);
        item->setChecked(mode == settings_.computerAudioMode);
        item->setActionGroup(modeGroup);
        connect(item, &QAction::triggered, this, [this, item] { selectComputerAudioMode(item); });
        computerAudioMenuItems[mode] = item;
    }

    recordingVolumeMenuItem = menu.addAction(recordingVolumeMenuTitle(settings_.recordingVolumePercentage));
    // Without control of the output volume the entry could change nothing: it stays greyed out.
    recordingVolumeMenuItem->setEnabled(subsystems.outputVolume->isAvailable());
    connect(recordingVolumeMenuItem, &QAction::triggered, this, &AppDelegate::openRecordingVolumeController, Qt::QueuedConnection);

    // Murmex's own entries.
    menu.addSeparator();
    pushToTalkMenuItem = menu.addAction(QStringLiteral("Mantener pulsado para hablar"));
    pushToTalkMenuItem->setCheckable(true);
    pushToTalkMenuItem->setChecked(settings_.pushToTalk);
    connect(pushToTalkMenuItem, &QAction::triggered, this, &AppDelegate::setPushToTalk);
    openAtLoginMenuItem = menu.addAction(QStringLiteral("Abrir al iniciar sesión"));
    openAtLoginMenuItem->setCheckable(true);
    connect(openAtLoginMenuItem, &QAction::triggered, this, &AppDelegate::setOpenAtLogin);
    recentDictationsMenu = menu.addMenu(QStringLiteral("Dictados recientes"));
    keptRecordingsMenu = menu.addMenu(QStringLiteral("Grabaciones conservadas"));

    menu.addSeparator();
    connect(menu.addAction(QStringLiteral("Más proyectos de Tarvo")), &QAction::triggered, this, &AppDelegate::openTarvoWebsite);
    connect(menu.addAction(QStringLiteral("Cerrar el Murmex")), &QAction::triggered, this, &AppDelegate::quitApplication);

    connect(&menu, &QMenu::aboutToShow, this, &AppDelegate::refreshStatusMenu);
    refreshStatusMenu();
}

void AppDelegate::refreshStatusMenu()
{
    engineStatusChanged(subsystems.transcription->engineStatus());
    openAtLoginMenuItem->setChecked(Autostart::isEnabled());
    refreshRecentDictationsMenu();
    refreshKeptRecordingsMenu();
}

void AppDelegate::engineStatusChanged(EngineStatus status)
{
    if (!engineStatusMenuItem)
        return;
    engineStatusMenuItem->setText(engineStatusTitle(status));
    installEngineMenuItem->setVisible(status == EngineStatus::modelMissing || status == EngineStatus::engineMissing
                                      || status == EngineStatus::commandLineOnly);
}

// MARK: - The behaviour's entries

void AppDelegate::selectTranscriptionLanguage(QAction *item)
{
    const auto language = item ? transcriptionLanguageFromRawValue(item->data().toString()) : std::nullopt;
    if (!language)
        return;
    settings_.transcriptionLanguage = *language;
    defaults.setString(QStringLiteral("transcriptionLanguage"), rawValue(*language));
    defaults.sync();
    for (const auto &[each, menuItem] : languageMenuItems)
        menuItem->setChecked(each == *language);
    dictionaryMenuItem->setText(dictionaryMenuTitle(*language));
}

void AppDelegate::selectComputerAudioMode(QAction *item)
{
    const auto mode = item ? computerAudioModeFromRawValue(item->data().toString()) : std::nullopt;
    if (!mode)
        return;
    // Takes effect at the next recording start or restart; a recording in progress keeps its recorder.
    settings_.computerAudioMode = *mode;
    defaults.setString(QStringLiteral("computerAudioMode"), rawValue(*mode));
    defaults.sync();
    for (const auto &[each, menuItem] : computerAudioMenuItems)
        menuItem->setChecked(each == *mode);
}

void AppDelegate::openPersonalDictionary()
{
    if (auto *open = qobject_cast<PersonalDictionaryController *>(personalDictionaryController.data())) {
        open->present();
        return;
    }
    if (!subsystems.personalDictionaryStore)
        return;
    const TranscriptionLanguage language = settings_.transcriptionLanguage;
    const auto loaded = subsystems.personalDictionaryStore->entries(language);
    if (!loaded) {
        platform.alerts.showWarning(QStringLiteral("No se pudo abrir el diccionario"), loaded.error().description, {aceptar});
        return;
    }
    QPointer<AppDelegate> weak(this);
    auto *editor = new PersonalDictionaryController(
        language, *loaded,
        [weak, language](const QList<PersonalDictionaryEntry> &list) -> Expected<void> {
            if (!weak)
                return {};
            return weak->subsystems.personalDictionaryStore->save(list, language);
        },
        [weak] {
            if (!weak || !weak->personalDictionaryController)
                return;
            weak->personalDictionaryController->deleteLater();
            weak->personalDictionaryController = nullptr;
        });
    personalDictionaryController = editor;
    editor->present();
}

void AppDelegate::openRecordingVolumeController()
{
    if (auto *open = qobject_cast<RecordingVolumeController *>(recordingVolumeController.data())) {
        open->present();
        return;
    }
    QPointer<AppDelegate> weak(this);
    auto *panel = new RecordingVolumeController(settings_.recordingVolumePercentage, [weak](std::optional<int> chosen) {
        if (!weak)
            return;
        if (chosen) {
            weak->settings_.recordingVolumePercentage = std::clamp(*chosen, 0, 100);
            weak->defaults.setInteger(QStringLiteral("recordingVolumePercentage"), weak->settings_.recordingVolumePercentage);
            weak->defaults.sync();
            weak->recordingVolumeMenuItem->setText(recordingVolumeMenuTitle(weak->settings_.recordingVolumePercentage));
        }
        if (weak->recordingVolumeController)
            weak->recordingVolumeController->deleteLater();
        weak->recordingVolumeController = nullptr;
    });
    recordingVolumeController = panel;
    panel->present();
}

void AppDelegate::openTarvoWebsite()
{
    if (!platform.shell.openUrl(QUrl(QString::fromLatin1(tarvoWebsiteURL))))
        Log::write(QStringLiteral("[MurmexRuntime] No se pudo abrir %1.").arg(QString::fromLatin1(tarvoWebsiteURL)));
}

// MARK: - Murmex's own entries

void AppDelegate::setPushToTalk(bool enabled)
{
    settings_.pushToTalk = enabled;
    defaults.setBoolean(QStringLiteral("pushToTalk"), enabled);
    defaults.sync();
    if (pushToTalkMenuItem)
        pushToTalkMenuItem->setChecked(enabled);
    pushToTalkStartedDictation = false;
    updateStatusIcon();
}

void AppDelegate::setOpenAtLogin(bool enabled)
{
    const QString executable = QCoreApplication::applicationFilePath();
    const QString icon = Bundle::resourcesPath().isEmpty() ? QString() : Bundle::resourcesPath() + QStringLiteral("/Murmex.svg");
    const Expected<void> done = enabled ? Autostart::enable(executable, icon) : Autostart::disable();
    if (!done)
        platform.alerts.showWarning(QStringLiteral("No se pudo cambiar el inicio con la sesión"), done.error().description, {aceptar});
    else
        Log::write(enabled ? QStringLiteral("[MurmexRuntime] Murmex se abrirá al iniciar sesión (%1).").arg(Autostart::entryPath())
                           : QStringLiteral("[MurmexRuntime] Murmex ya no se abrirá al iniciar sesión."));
    if (openAtLoginMenuItem)
        openAtLoginMenuItem->setChecked(Autostart::isEnabled());
}

void AppDelegate::rememberRecentDictation(const QString &text)
{
    if (text.trimmed().isEmpty())
        return;
    recentDictations_.prepend(text);
    if (recentDictations_.size() > recentDictationsKept)
        recentDictations_.resize(recentDictationsKept);
    refreshRecentDictationsMenu();
}

void AppDelegate::refreshRecentDictationsMenu()
{
    if (!recentDictationsMenu)
        return;
    recentDictationsMenu->clear();
    for (qsizetype index = 0; index < recentDictations_.size(); ++index)
        connect(recentDictationsMenu->addAction(recentDictationTitle(recentDictations_[index])), &QAction::triggered, this,
                [this, index] { copyRecentDictation(index); });
    recentDictationsMenu->menuAction()->setVisible(!recentDictations_.isEmpty());
}

void AppDelegate::copyRecentDictation(qsizetype index)
{
    if (index < 0 || index >= recentDictations_.size())
        return;
    QGuiApplication::clipboard()->setText(recentDictations_[index]);
    statusItem_.showMessage(QStringLiteral("Texto copiado al portapapeles"), firstWords(recentDictations_[index]));
}

void AppDelegate::refreshKeptRecordingsMenu()
{
    if (!keptRecordingsMenu)
        return;
    keptRecordingsMenu->clear();
    const QStringList inUse{recordingFolder_, subsystems.transcription->transcriptionFolder()};
    const QList<KeptRecording> kept = keptRecordings(AppStorage::recordingsRootURL(), inUse);
    for (const KeptRecording &recording : kept)
        connect(keptRecordingsMenu->addAction(menuTitle(recording)), &QAction::triggered, this,
                [this, folder = recording.folder] { transcribeKeptRecording(folder); });
    keptRecordingsMenu->menuAction()->setVisible(!kept.isEmpty());
}
