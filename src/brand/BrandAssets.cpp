#include "BrandAssets.h"


#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>
#include <QThread>

#include <cmath>
#include <functional>
#include <map>
#include <numbers>
#include <utility>

Q_LOGGING_CATEGORY(lcBrand, "murmex.brand", QtInfoMsg)

namespace {

// The template's look when neither the tray nor the palette gives a colour, and the outline of
// every title.
const QColor fallbackTemplateFill(0xE6, 0xE6, 0xE6);
const QColor outlineColor(0x1C, 0x1C, 0x1E);

struct Caches {
    QString logoPath;
    std::function<std::optional<QColor>()> trayForegroundColor;
    bool reportedUnreadableLogo = false;
    QIcon templateIcon, recordingIcon, processingIcon;
    std::map<std::pair<BrandAssets::StatusImage, QString>, QIcon> trayIcons;

    void clearImages()
    {
        templateIcon = recordingIcon = processingIcon = QIcon();
        trayIcons.clear();
    }
};

Caches &caches()
{
    static Caches *instance = [] {
        // The cached pixmaps go with the application, not after it.
        qAddPostRoutine([] { caches().clearImages(); });
        return new Caches;
    }();
    return *instance;
}

bool onMainThread()
{
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// The logo's opaque pixels take `tint`; the transparent ones stay so.
QImage tinted(QImage image, const QColor &tint)
{
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
    painter.fillRect(QRectF(QPointF(), image.deviceIndependentSize()), tint);
    return image;
}

// `image` over a dark copy of itself shifted a logical pixel in every direction: a dark rim that
// keeps a light image visible on a light panel.
QImage outlined(const QImage &image)
{
    const QImage rim = tinted(image, outlineColor);
    QImage result(image.size(), QImage::Format_ARGB32_Premultiplied);
    result.setDevicePixelRatio(image.devicePixelRatio());
    result.fill(Qt::transparent);
    QPainter painter(&result);
    for (int step = 0; step < 8; ++step) {
        const double angle = step * std::numbers::pi / 4;
        painter.drawImage(QPointF(std::cos(angle), std::sin(angle)), rim);
    }
    painter.drawImage(QPointF(), image);
    return result;
}

std::optional<QImage> statusLogo(qreal devicePixelRatio)
{
    return BrandAssets::renderedLogo(QSizeF(BrandAssets::statusImageSize, BrandAssets::statusImageSize), devicePixelRatio);
}

std::optional<QImage> templateImage(qreal devicePixelRatio)
{
    const std::optional<QImage> logo = statusLogo(devicePixelRatio);
    if (!logo)
        return std::nullopt;
    if (const std::optional<QColor> tint = BrandAssets::templateTint())
        return tinted(*logo, *tint);
    return outlined(tinted(*logo, fallbackTemplateFill));
}

// An icon with the image drawn at device pixel ratios 1 and 2, each at its own resolution; a null
// icon when the logo cannot be read.
QIcon iconAtBothRatios(const std::function<std::optional<QImage>(qreal)> &draw)
{
    QIcon icon;
    for (const qreal devicePixelRatio : {1.0, 2.0}) {
        const std::optional<QImage> image = draw(devicePixelRatio);
        if (!image)
            return {};
        icon.addPixmap(QPixmap::fromImage(*image));
    }
    return icon;
}

QIcon cachedIcon(QIcon &slot, const std::function<QIcon()> &draw)
{
    Q_ASSERT(onMainThread());
    if (slot.isNull())
        slot = draw();
    return slot;
}

QColor tintFor(BrandAssets::StatusImage kind)
{
    switch (kind) {
    case BrandAssets::StatusImage::recording: return BrandAssets::recordingTint;
    case BrandAssets::StatusImage::processing: return BrandAssets::processingTint;
    case BrandAssets::StatusImage::idle: break;
    }
    return BrandAssets::templateTint().value_or(fallbackTemplateFill);
}

// The square titled icon: the logo in the upper part, the title in small bold letters below it,
// both in the state's colour; the title, and the idle logo without a tray colour, outlined in dark.
std::optional<QImage> titledImage(BrandAssets::StatusImage kind, const QString &title, qreal devicePixelRatio)
{
    constexpr qreal side = BrandAssets::titledTrayIconSize;
    constexpr qreal logoSide = 13;
    const std::optional<QImage> logo = BrandAssets::renderedLogo(QSizeF(logoSide, logoSide), devicePixelRatio);
    if (!logo)
        return std::nullopt;
    const QColor tint = tintFor(kind);
    QImage logoImage = tinted(*logo, tint);
    if (kind == BrandAssets::StatusImage::idle && !BrandAssets::templateTint())
        logoImage = outlined(logoImage);

    QImage image(QSize(qRound(side * devicePixelRatio), qRound(side * devicePixelRatio)), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawImage(QPointF((side - logoSide) / 2, 0), logoImage);

    QFont font = QGuiApplication::font();
    font.setBold(true);
    font.setPixelSize(8);
    QPainterPath text;
    const qreal advance = QFontMetricsF(font).horizontalAdvance(title);
    text.addText((side - advance) / 2, side - 1, font, title);
    // The title is wider than the logo: squeeze it into the icon rather than clip it.
    if (advance > side - 1) {
        QTransform squeeze;
        squeeze.translate(side / 2, 0);
        squeeze.scale((side - 1) / advance, 1);
        squeeze.translate(-side / 2, 0);
        text = squeeze.map(text);
    }
    painter.strokePath(text, QPen(outlineColor, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.fillPath(text, tint);
    return image;
}

} // namespace

void BrandAssets::setLogoPath(const QString &path)
{
    Q_ASSERT(onMainThread());
    Caches &cache = caches();
    cache.logoPath = path;
    cache.reportedUnreadableLogo = false;
    cache.clearImages();
}

void BrandAssets::setTrayForegroundColor(std::function<std::optional<QColor>()> source)
{
    Q_ASSERT(onMainThread());
    Caches &cache = caches();
    cache.trayForegroundColor = std::move(source);
    cache.clearImages();
}

QString BrandAssets::logoPath()
{
    return caches().logoPath;
}

std::optional<QImage> BrandAssets::renderedLogo(QSizeF size, qreal devicePixelRatio)
{
    Caches &cache = caches();
    QFile file(cache.logoPath);
    QSvgRenderer renderer;
    const bool opened = !cache.logoPath.isEmpty() && file.open(QIODevice::ReadOnly);
    if (!opened || !renderer.load(file.readAll())) {
        // Drawn images stay empty; a developer sees why once.
        if (!cache.reportedUnreadableLogo)
            qCWarning(lcBrand).noquote() << "Cannot read the logo" << cache.logoPath << ":"
                                         << (opened ? QStringLiteral("not an SVG image") : file.errorString());
        cache.reportedUnreadableLogo = true;
        return std::nullopt;
    }
    QSizeF logoSize = renderer.viewBoxF().size();
    if (logoSize.isEmpty())
        logoSize = renderer.defaultSize();
    const QSize pixels = (size * devicePixelRatio).toSize();
    if (logoSize.isEmpty() || pixels.isEmpty())
        return std::nullopt;

    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    const qreal scale = std::min(size.width() / logoSize.width(), size.height() / logoSize.height());
    QRectF target(QPointF(), logoSize * scale);
    target.moveCenter(QRectF(QPointF(), size).center());
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    renderer.render(&painter, target);
    return image;
}

std::optional<QColor> BrandAssets::templateTint()
{
    if (const auto &trayColors = caches().trayForegroundColor)
        if (const std::optional<QColor> trayColor = trayColors())
            return trayColor;
    // Without a desktop theme Qt falls back to its own light palette, which says nothing about
    // the panel: recognised by its window, text and highlight colours.
    const QPalette palette = QGuiApplication::palette();
    const bool builtInPalette = palette.color(QPalette::Window) == QColor(0xEF, 0xEF, 0xEF)
        && palette.color(QPalette::WindowText) == QColor(Qt::black)
        && palette.color(QPalette::Highlight) == QColor(0x30, 0x8C, 0xC6);
    if (builtInPalette)
        return std::nullopt;
    return palette.color(QPalette::WindowText);
}

QIcon BrandAssets::statusImage(bool isTemplate, std::optional<QColor> tint)
{
    Caches &cache = caches();
    if (isTemplate) {
        return cachedIcon(cache.templateIcon, [] {
            QIcon icon = iconAtBothRatios(templateImage);
            if (!icon.isNull()) // marking a null icon would make it a blank one
                icon.setIsMask(true);
            return icon;
        });
    }
    if (!tint)
        return iconAtBothRatios(statusLogo);
    const auto filledWith = [](QColor color) {
        return [color](qreal devicePixelRatio) -> std::optional<QImage> {
            const std::optional<QImage> logo = statusLogo(devicePixelRatio);
            return logo ? std::optional(tinted(*logo, color)) : std::nullopt;
        };
    };
    if (*tint == recordingTint)
        return cachedIcon(cache.recordingIcon, [&] { return iconAtBothRatios(filledWith(recordingTint)); });
    if (*tint == processingTint)
        return cachedIcon(cache.processingIcon, [&] { return iconAtBothRatios(filledWith(processingTint)); });
    return iconAtBothRatios(filledWith(*tint));
}

void BrandAssets::prewarmStatusImages()
{
    Q_ASSERT(onMainThread());
    statusImage(true);
    statusImage(false, recordingTint);
    statusImage(false, processingTint);
}

QIcon BrandAssets::trayIcon(StatusImage kind, const QString &title)
{
    const QString shownTitle = title.trimmed();
    if (shownTitle.isEmpty()) {
        switch (kind) {
        case StatusImage::recording: return statusImage(false, recordingTint);
        case StatusImage::processing: return statusImage(false, processingTint);
        case StatusImage::idle: break;
        }
        return statusImage(true);
    }
    QIcon &slot = caches().trayIcons[{kind, shownTitle}];
    return cachedIcon(slot, [&] {
        return iconAtBothRatios([&](qreal devicePixelRatio) { return titledImage(kind, shownTitle, devicePixelRatio); });
    });
}
