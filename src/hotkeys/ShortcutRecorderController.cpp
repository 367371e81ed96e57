#include "ShortcutRecorderController.h"

#include "panels/PanelWindow.h"
#include "KeyCodes.h"
#include "platform/ApplicationShell.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <utility>

namespace {

constexpr quint32 escapeKeyCode = 53;

// Panel geometry, in device-independent pixels.
constexpr QSize contentSize{440, 210};
constexpr QSize shortcutFieldSize{290, 55};
constexpr int titleFontPixels = 15;
constexpr int shortcutFontPixels = 30;

// The mask bit of each modifier.
struct ModifierBit {
    Qt::KeyboardModifier qtModifier;
    quint32 mask;
};
constexpr ModifierBit modifierBits[] = {
    {Qt::ControlModifier, Shortcut::controlMask},
    {Qt::AltModifier, Shortcut::altMask},
    {Qt::ShiftModifier, Shortcut::shiftMask},
    {Qt::MetaModifier, Shortcut::superMask}, // Super on Linux keyboards
};

// Modifier and lock keys pressed on their own: they only change the modifiers of the next key.
bool isModifierKey(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_Mode_switch:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
        return true;
    default:
        return false;
    }
}

// The key's position. X11 and Wayland key codes are evdev + 8; synthetic key events (and those of
// the offscreen platform) carry no scan code, and then the US-layout key of the Qt::Key stands in.
std::optional<quint32> virtualKeyCode(const QKeyEvent &event)
{
    if (event.nativeScanCode() > 8)
        return macVirtualKeyCode(int(event.nativeScanCode() - 8));
    return macVirtualKeyCodeForQtKey(event.key());
}

} // namespace

ShortcutRecorderController::ShortcutRecorderController(const Shortcut &currentShortcut, ApplicationShell &shell,
                                                       FinishHandler onFinish, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      shell(shell),
      onFinish(std::move(onFinish))
{
    setWindowTitle(QStringLiteral("Atajo de dictado"));
    buildInterface(currentShortcut);
}

ShortcutRecorderController::~ShortcutRecorderController()
{
    removeEventMonitor();
}

void ShortcutRecorderController::buildInterface(const Shortcut &currentShortcut)
{
    auto *title = new QLabel(QStringLiteral("Elige el atajo para iniciar y detener el dictado"), this);
    QFont titleFont = title->font();
    titleFont.setPixelSize(titleFontPixels);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);

    shortcutLabel = new QLabel(currentShortcut.display, this);
    QFont shortcutFont = shortcutLabel->font();
    shortcutFont.setPixelSize(shortcutFontPixels);
    shortcutFont.setWeight(QFont::Medium);
    shortcutLabel->setFont(shortcutFont);
    shortcutLabel->setAlignment(Qt::AlignCenter);
    shortcutLabel->setFixedSize(shortcutFieldSize);
    // A read-only field: sunken frame on the background of text fields.
    shortcutLabel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    shortcutLabel->setBackgroundRole(QPalette::Base);
    shortcutLabel->setAutoFillBackground(true);

    hintLabel = new QLabel(QStringLiteral("Pulsa la combinación que quieras usar"), this);
    hintLabel->setAlignment(Qt::AlignCenter);
    QPalette hintPalette = hintLabel->palette();
    QColor secondary = hintPalette.color(QPalette::WindowText);
    secondary.setAlphaF(0.6f);
    hintPalette.setColor(QPalette::WindowText, secondary);
    hintLabel->setPalette(hintPalette);

    auto *cancelButton = new QPushButton(QStringLiteral("Cancelar"), this);
    auto *saveButton = new QPushButton(QStringLiteral("Guardar"), this);
    saveButton->setDefault(true);
    // The keyboard belongs to the recorder: no button takes focus or reacts to keys.
    cancelButton->setFocusPolicy(Qt::NoFocus);
    saveButton->setFocusPolicy(Qt::NoFocus);
    connect(cancelButton, &QPushButton::clicked, this, &ShortcutRecorderController::cancel);
    connect(saveButton, &QPushButton::clicked, this, &ShortcutRecorderController::save);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addWidget(cancelButton);
    buttons->addWidget(saveButton);

    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(24, 24, 24, 20);
    stack->setSpacing(14);
    stack->addWidget(title, 0, Qt::AlignHCenter);
    stack->addWidget(shortcutLabel, 0, Qt::AlignHCenter);
    stack->addWidget(hintLabel, 0, Qt::AlignHCenter);
    stack->addLayout(buttons);
    stack->setAlignment(buttons, Qt::AlignHCenter);

    // A larger system font must not clip the content.
    setFixedSize(contentSize.expandedTo(stack->totalMinimumSize()));
}

void ShortcutRecorderController::showWindow()
{
    if (hasFinished_)
        return;
    PanelWindow::present(*this, hasBeenPlaced);
    if (!eventMonitorInstalled)
        installEventMonitor();
}

void ShortcutRecorderController::save()
{
    if (!capturedShortcut_) {
        hintLabel->setText(QStringLiteral("Pulsa primero un atajo nuevo"));
        shell.beep();
        return;
    }
    finish(capturedShortcut_);
}

void ShortcutRecorderController::cancel()
{
    finish(std::nullopt);
}

QString ShortcutRecorderController::shortcutText() const
{
    return shortcutLabel->text();
}

QString ShortcutRecorderController::hintText() const
{
    return hintLabel->text();
}

bool ShortcutRecorderController::eventFilter(QObject *watched, QEvent *event)
{
    if (eventMonitorInstalled) {
        switch (event->type()) {
        case QEvent::ShortcutOverride:
            // Claimed so that no application shortcut fires; the key press itself follows.
            event->accept();
            return true;
        case QEvent::KeyPress:
            handleKeyDown(static_cast<const QKeyEvent &>(*event));
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ShortcutRecorderController::handleKeyDown(const QKeyEvent &event)
{
    if (isModifierKey(event.key()))
        return;
    const std::optional<quint32> keyCode = virtualKeyCode(event);
    // Escape by position or by what the layout makes of it, with any modifiers.
    if (keyCode == escapeKeyCode || event.key() == Qt::Key_Escape) {
        finish(std::nullopt);
        return;
    }
    quint32 mask = 0;
    for (const ModifierBit &modifier : modifierBits)
        if (event.modifiers() & modifier.qtModifier)
            mask |= modifier.mask;
    if (!Shortcut::hasControlAltOrSuper(mask)) {
        hintLabel->setText(QStringLiteral("Incluye Ctrl, Alt o Super"));
        shell.beep();
        return;
    }
    // A key without a known position could not be stored or grabbed again.
    if (!keyCode || Shortcut::keyName(*keyCode).isEmpty())
        return;

    capturedShortcut_ = Shortcut{*keyCode, mask};
    shortcutLabel->setText(capturedShortcut_->display);
    hintLabel->setText(QStringLiteral("Pulsa Guardar para confirmar"));
}

bool ShortcutRecorderController::event(QEvent *event)
{
    // Losing activation (another window or application in front) cancels the recorder.
    if (event->type() == QEvent::WindowDeactivate)
        finish(std::nullopt);
    return QWidget::event(event);
}

void ShortcutRecorderController::closeEvent(QCloseEvent *event)
{
    finish(std::nullopt);
    QWidget::closeEvent(event);
}

void ShortcutRecorderController::installEventMonitor()
{
    qApp->installEventFilter(this);
    eventMonitorInstalled = true;
}

void ShortcutRecorderController::removeEventMonitor()
{
    if (!eventMonitorInstalled)
        return;
    qApp->removeEventFilter(this);
    eventMonitorInstalled = false;
}

void ShortcutRecorderController::finish(std::optional<Shortcut> shortcut)
{
    if (hasFinished_)
        return;
    hasFinished_ = true;
    removeEventMonitor();
    hide();
    // Taken out first: the owner may delete the panel (deleteLater) from the handler.
    const FinishHandler handler = std::exchange(onFinish, nullptr);
    if (handler)
        handler(std::move(shortcut));
}
