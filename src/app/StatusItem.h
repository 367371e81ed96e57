#pragma once

#include "DictationState.h"

#include <QObject>
#include <QString>

class QMenu;
class QSystemTrayIcon;

// Murmex's presence in the tray: an icon that shows the dictation state, a tool tip saying what a
// press of the shortcut will do, and the menu the controller builds. A tray cannot show a title beside the icon, so the
// " REC" title is drawn into the icon.
class StatusItem final : public QObject {
    Q_OBJECT
public:
    explicit StatusItem(QObject *parent = nullptr);
    ~StatusItem() override;

    // Sets icon, title and tool tip for the state; `shortcutDisplay` is the shortcut's text, and
    // `pushToTalk` says that releasing it ends the dictation.
    void update(DictationState state, const QString &shortcutDisplay, bool pushToTalk = false);
    // A passing message from the tray icon (a notification where the desktop shows them). Also
    // kept in `lastMessage()`.
    void showMessage(const QString &title, const QString &text);
    QString lastMessage() const { return lastMessage_; }
    // A temporary tool tip ("Reconectando el micrófono…"); the next update() replaces it.
    void setToolTip(const QString &toolTip);

    // Attaches the menu (the caller keeps it) and shows the icon; says once in the log when no tray
    // is there to show it.
    void show(QMenu *menu);

    QString title() const { return title_; }
    QString toolTip() const { return toolTip_; }
    DictationState shownState() const { return shownState_; }

private:
    void onTrayAvailabilityChecked();

    QSystemTrayIcon *trayIcon_ = nullptr;
    QMenu *menu_ = nullptr;
    QString title_;
    QString lastMessage_;
    QString toolTip_;
    DictationState shownState_ = DictationState::idle;
    bool reportedMissingTray_ = false;
};
