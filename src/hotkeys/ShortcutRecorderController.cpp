#include "ShortcutRecorderController.h"

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

#include <algorithm>
#include <utility>

namespace {

constexpr quint32 escapeKeyCode = 53;

// Panel geometry, in device-independent pixels.
constexpr QSize contentSize{440, 210};
constexpr QSize shortcutFieldSize{290, 55};
constexpr int titleFontPixels = 15;
constexpr int shortcutFontPixels = 30;

// The glyphs and mask bits of the modifiers, in the order the display text lists them.
struct ModifierGlyph {
    Qt::KeyboardModifier qtModifier;
    quint32 mask;
    const char16_t *glyph;
};
constexpr ModifierGlyph modifierGlyphs[] = {
    {Qt::ControlModifier, 0x1000, u"⌃"},
    {Qt::AltModifier, 0x800, u"⌥"},
    {Qt::ShiftModifier, 0x200, u"⇧"},
    {Qt::MetaModifier, 0x100, u"⌘"}, // Super on Linux keyboards
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

// What the key types without Control, Alt and Super (Shift still counts). For a printing key Qt
// reports that character, upper-case, as the key; text() is only the fallback because Control
// turns it into a control character.
QString charactersIgnoringModifiers(const QKeyEvent &event)
{
    const int key = event.key();
    if (key > 0 && key < Qt::Key_Escape) {
        const char32_t character = char32_t(key);
        return QString::fromUcs4(&character, 1);
    }
    const QString text = event.text();
    const bool printable = std::ranges::all_of(text, [](QChar c) { return c.isPrint(); });
    return printable ? text : QString();
}

} // namespace

QString shortcutMenuTitle(const Shortcut &shortcut)
{
    return QStringLiteral("Atajo…   ") + shortcut.display;
}

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
    if (!hasBeenPlaced) {
        const QRect area = screen()->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
        hasBeenPlaced = true;
    }
    show();
    raise();
    activateWindow();
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

QString ShortcutRecorderController::keyName(quint32 keyCode, const QString &characters)
{
    switch (keyCode) {
    case 36: return QStringLiteral("↩");
    case 48: return QStringLiteral("⇥");
    case 49: return QStringLiteral("Espacio");
    case 51: return QStringLiteral("⌫");
    case 122: return QStringLiteral("F1");
    case 120: return QStringLiteral("F2");
    case 99: return QStringLiteral("F3");
    case 118: return QStringLiteral("F4");
    case 96: return QStringLiteral("F5");
    case 97: return QStringLiteral("F6");
    case 98: return QStringLiteral("F7");
    case 100: return QStringLiteral("F8");
    case 101: return QStringLiteral("F9");
    case 109: return QStringLiteral("F10");
    case 103: return QStringLiteral("F11");
    case 111: return QStringLiteral("F12");
    case 115: return QStringLiteral("↖");
    case 116: return QStringLiteral("⇞");
    case 117: return QStringLiteral("⌦");
    case 119: return QStringLiteral("↘");
    case 121: return QStringLiteral("⇟");
    case 123: return QStringLiteral("←");
    case 124: return QStringLiteral("→");
    case 125: return QStringLiteral("↓");
    case 126: return QStringLiteral("↑");
    default: return characters.trimmed().toUpper();
    }
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
    if (!(event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        hintLabel->setText(QStringLiteral("Incluye Comando, Opción o Control"));
        shell.beep();
        return;
    }
    // A key without a known position could not be stored or grabbed again.
    if (!keyCode)
        return;
    const QString name = keyName(*keyCode, charactersIgnoringModifiers(event));
    if (name.isEmpty())
        return;

    quint32 mask = 0;
    QString display;
    for (const ModifierGlyph &modifier : modifierGlyphs) {
        if (event.modifiers() & modifier.qtModifier) {
            mask |= modifier.mask;
            display += QString::fromUtf16(modifier.glyph);
        }
    }
    display += name;
    capturedShortcut_ = Shortcut{*keyCode, mask, display};
    shortcutLabel->setText(display);
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
