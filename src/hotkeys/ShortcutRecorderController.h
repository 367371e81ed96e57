#pragma once

#include "Shortcut.h"

#include <QWidget>

#include <functional>
#include <optional>

class ApplicationShell;
class QKeyEvent;
class QLabel;

// The "Atajo de dictado" panel, where the user presses a new dictation shortcut.
//
// While the panel is shown it watches every key press of the application and swallows it, so the
// buttons never fire from the keyboard: Escape (with any modifiers) cancels; a combination without
// Control, Alt or Super is refused with a beep; any other one becomes the captured shortcut, shown
// by its key's position (Shortcut::displayText) and confirmed with "Guardar". Cancelar, closing the
// window and the panel losing activation all cancel. onFinish runs exactly once, with the new
// shortcut or with none when cancelled; the panel is hidden by then and its owner deletes it.
class ShortcutRecorderController final : public QWidget {
    Q_OBJECT
public:
    using FinishHandler = std::function<void(std::optional<Shortcut>)>;

    ShortcutRecorderController(const Shortcut &currentShortcut, ApplicationShell &shell, FinishHandler onFinish,
                               QWidget *parent = nullptr);
    ~ShortcutRecorderController() override;

    // Shows the panel (centred the first time), brings it to the front, activates it and starts
    // watching key presses. Calling it again while open only brings it to the front.
    void showWindow();

    // The buttons' actions.
    void save();
    void cancel();

    QString shortcutText() const;
    QString hintText() const;
    std::optional<Shortcut> capturedShortcut() const { return capturedShortcut_; }
    bool hasFinished() const { return hasFinished_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildInterface(const Shortcut &currentShortcut);
    void handleKeyDown(const QKeyEvent &event);
    void installEventMonitor();
    void removeEventMonitor();
    void finish(std::optional<Shortcut> shortcut);

    ApplicationShell &shell;
    FinishHandler onFinish;
    QLabel *shortcutLabel = nullptr;
    QLabel *hintLabel = nullptr;
    std::optional<Shortcut> capturedShortcut_;
    bool eventMonitorInstalled = false;
    bool hasFinished_ = false;
    bool hasBeenPlaced = false;
};
