#include "StatusItem.h"

#include "support/Log.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

// Tints of the states: the plain logo when idle, red while starting and recording, orange while
// transcribing.
QColor tintFor(DictationState state)
{
    switch (state) {
    case DictationState::starting:
    case DictationState::recording: return QColor(0xFF, 0x3B, 0x30);
    case DictationState::transcribing: return QColor(0xFF, 0x95, 0x00);
    case DictationState::idle: break;
    }
    return QColor(0xF2, 0xF2, 0xF2);
}

// A microphone capsule on its stand, with the title drawn in a band below it when there is one.
QIcon renderIcon(DictationState state, const QString &title)
{
    constexpr int size = 64;
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = tintFor(state);
    const bool withTitle = !title.trimmed().isEmpty();
    const qreal glyphHeight = withTitle ? 40 : 60;
    const qreal scale = glyphHeight / 60.0;
    painter.translate((size - 40 * scale) / 2, 2);
    painter.scale(scale, scale);

    // Trays are light on some desktops and dark on others: a dark outline keeps the glyph visible
    // on both.
    QPainterPath glyph;
    glyph.addRoundedRect(QRectF(11, 0, 18, 34), 9, 9);
    QPainterPath cradle;
    cradle.moveTo(4, 24);
    cradle.cubicTo(4, 48, 36, 48, 36, 24);
    cradle.moveTo(20, 44);
    cradle.lineTo(20, 56);
    const QColor outline(0x1C, 0x1C, 0x1E);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(outline, 8.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(cradle);
    painter.setPen(QPen(outline, 3));
    painter.setBrush(tint);
    painter.drawPath(glyph);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(tint, 4.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(cradle);
    painter.resetTransform();

    if (withTitle) {
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(19);
        painter.setFont(font);
        QPainterPath text;
        const QFontMetricsF metrics(font);
        const QString label = title.trimmed();
        text.addText((size - metrics.horizontalAdvance(label)) / 2, 60, font, label);
        painter.setPen(QPen(outline, 3));
        painter.setBrush(tint);
        painter.drawPath(text);
    }
    painter.end();
    return QIcon(pixmap);
}

} // namespace

StatusItem::StatusItem(QObject *parent) : QObject(parent), menu_(std::make_unique<QMenu>())
{
    trayIcon_ = new QSystemTrayIcon(this);
}

StatusItem::~StatusItem() = default;

void StatusItem::update(DictationState state, const QString &shortcutDisplay)
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
        toolTip_ = QStringLiteral("Grabando — ") + shortcutDisplay + QStringLiteral(" termina · Esc cancela");
        break;
    case DictationState::transcribing:
        title_ = QString();
        toolTip_ = QStringLiteral("Transcribiendo…");
        break;
    }
    trayIcon_->setIcon(renderIcon(state, title_));
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

void StatusItem::showWithMenu(const QString &versionString, const QString &shortcutDisplay)
{
    menu_->clear();
    QAction *versionLine = menu_->addAction(QStringLiteral("Murmex ") + (versionString.isEmpty() ? QStringLiteral("—") : versionString));
    versionLine->setEnabled(false);
    menu_->addSeparator();
    shortcutMenuItem = menu_->addAction(QString());
    setShortcutDisplay(shortcutDisplay);
    connect(shortcutMenuItem, &QAction::triggered, this, &StatusItem::shortcutRecorderRequested);
    menu_->addSeparator();
    QAction *quit = menu_->addAction(QStringLiteral("Cerrar el Murmex"));
    connect(quit, &QAction::triggered, this, &StatusItem::quitRequested);
    trayIcon_->setContextMenu(menu_.get());
    // A left click shows the same menu: there is no window to open.
    connect(trayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            menu_->popup(QCursor::pos());
    });
    trayIcon_->show();
    // The tray host may answer a moment after start-up; judge its presence once the loop runs.
    QTimer::singleShot(2000, this, &StatusItem::onTrayAvailabilityChecked);
}

void StatusItem::setShortcutDisplay(const QString &shortcutDisplay)
{
    if (shortcutMenuItem)
        shortcutMenuItem->setText(QStringLiteral("Atajo…   ") + shortcutDisplay);
}

QString StatusItem::shortcutMenuTitle() const
{
    return shortcutMenuItem ? shortcutMenuItem->text() : QString();
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
