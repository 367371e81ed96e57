#pragma once

#include "DictationState.h"

#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

// Murmex's presence in the tray: an icon that shows the dictation state, a tool tip saying what a
// press of the shortcut will do, and the menu. A tray cannot show a title beside the icon, so the
// " REC" title is drawn into the icon.
class StatusItem final : public QObject {
    Q_OBJECT
public:
    explicit StatusItem(QObject *parent = nullptr);
    ~StatusItem() override;

    // Sets icon, title and tool tip for the state; `shortcutDisplay` is the shortcut's text.
    void update(DictationState state, const QString &shortcutDisplay);
    // A passing message from the tray icon (a notification where the desktop shows them). Also
    // kept in `lastMessage()`.
    void showMessage(const QString &title, const QString &text);
    QString lastMessage() const { return lastMessage_; }
    // A temporary tool tip ("Reconectando el micrófono…"); the next update() replaces it.
    void setToolTip(const QString &toolTip);

    // Builds the menu and shows the icon; says once in the log when no tray is there to show it.
    void showWithMenu(const QString &versionString, const QString &shortcutDisplay);
    // "Atajo…   " followed by the shortcut's text.
    void setShortcutDisplay(const QString &shortcutDisplay);
    QString shortcutMenuTitle() const;

    QString title() const { return title_; }
    QString toolTip() const { return toolTip_; }
    DictationState shownState() const { return shownState_; }
    QMenu *menu() const { return menu_.get(); }

signals:
    void quitRequested();
    void shortcutRecorderRequested();

private:
    void onTrayAvailabilityChecked();

    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon *trayIcon_ = nullptr;
    QAction *shortcutMenuItem = nullptr;
    QString title_;
    QString lastMessage_;
    QString toolTip_;
    DictationState shownState_ = DictationState::idle;
    bool reportedMissingTray_ = false;
};
