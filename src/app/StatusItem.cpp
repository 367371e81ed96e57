#include "StatusItem.h"

#include "brand/BrandAssets.h"
#include "support/Log.h"

#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

BrandAssets::StatusImage imageFor(DictationState state)
{
    switch (state) {
    case DictationState::starting:
    case DictationState::recording: return BrandAssets::StatusImage::recording;
    case DictationState::transcribing: return BrandAssets::StatusImage::processing;
    case DictationState::idle: break;
    }
    return BrandAssets::StatusImage::idle;
}

} // namespace

StatusItem::StatusItem(QObject *parent) : QObject(parent)
{
    trayIcon_ = new QSystemTrayIcon(this);
}

StatusItem::~StatusItem() = default;

void StatusItem::update(DictationState state, const QString &shortcutDisplay, bool pushToTalk)
{
    shownState_ = state;
    switch (state) {
    case DictationState::idle:
        title_ = QString();
        toolTip_ = QStringLiteral("Murmex — ") + shortcutDisplay;
        break;
    case DictationState::starting:
        title_ = QStringLiteral(" REC");
        toolTip_ = QStringLiteral("Preparando Murmex…");
        break;
    case DictationState::recording:
        title_ = QStringLiteral(" REC");
        toolTip_ = pushToTalk ? QStringLiteral("Grabando — suelta ") + shortcutDisplay + QStringLiteral(" para terminar · Esc cancela")
                              : QStringLiteral("Grabando — ") + shortcutDisplay + QStringLiteral(" termina · Esc cancela");
        break;
    case DictationState::transcribing:
        title_ = QString();
        toolTip_ = QStringLiteral("Transcribiendo…");
        break;
    }
    QIcon icon = BrandAssets::trayIcon(imageFor(state), title_);
    if (icon.isNull()) // without the logo file: the desktop's microphone icon, still a tray entry
        icon = QIcon::fromTheme(QStringLiteral("audio-input-microphone"));
    trayIcon_->setIcon(icon);
    trayIcon_->setToolTip(toolTip_);
}

void StatusItem::showMessage(const QString &title, const QString &text)
{
    lastMessage_ = title + QLatin1Char('\n') + text;
    trayIcon_->showMessage(title, text, QSystemTrayIcon::Information, 10000);
}

void StatusItem::setToolTip(const QString &toolTip)
{
    toolTip_ = toolTip;
    trayIcon_->setToolTip(toolTip);
}

void StatusItem::show(QMenu *menu)
{
    menu_ = menu;
    trayIcon_->setContextMenu(menu);
    // A left click shows the same menu: there is no window to open.
    connect(trayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && menu_)
            menu_->popup(QCursor::pos());
    });
    trayIcon_->show();
    // The tray host may answer a moment after start-up; judge its presence once the loop runs.
    QTimer::singleShot(2000, this, &StatusItem::onTrayAvailabilityChecked);
}

void StatusItem::onTrayAvailabilityChecked()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        Log::write(QStringLiteral("[MurmexRuntime] Icono de Murmex en la bandeja del sistema."));
        return;
    }
    if (reportedMissingTray_)
        return;
    reportedMissingTray_ = true;
    Log::write(QStringLiteral("[MurmexRuntime] No hay bandeja del sistema: Murmex sigue funcionando sin icono "
                              "(en GNOME hace falta una extensión de bandeja)."));
}
