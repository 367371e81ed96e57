#include "RecordingIndicatorPanel.h"

#include "brand/AnimatedGradientLogoView.h"
#include "brand/BrandAssets.h"

#include <QImage>

RecordingIndicatorPanel::RecordingIndicatorPanel(QWidget *parent)
    : QWidget(parent,
              Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                  | Qt::X11BypassWindowManagerHint | Qt::WindowTransparentForInput)
    , logoView_(new AnimatedGradientLogoView(this))
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    // Never shown to the user; it names the window for whoever lists the desktop's windows.
    setWindowTitle(QStringLiteral("Murmex: indicador de grabación"));
    setFixedSize(side, side);
    logoView_->setGeometry(0, 0, side, side);
}

void RecordingIndicatorPanel::setComposited(bool composited)
{
    if (composited)
        clearMask();
    else
        setMask(logoShape());
}

QRegion RecordingIndicatorPanel::logoShape()
{
    const std::optional<QImage> logo = BrandAssets::renderedLogo(QSizeF(side, side));
    if (!logo || logo->isNull())
        return QRegion(0, 0, side, side, QRegion::Ellipse);
    // Rows of runs of pixels at least half opaque: an edge pixel kept without a compositor shows its
    // colour at no less than half its brightness, and none of the transparent corners shows at all.
    const QImage image = logo->convertToFormat(QImage::Format_ARGB32);
    QRegion shape;
    for (int y = 0; y < image.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width();) {
            if (qAlpha(row[x]) < 128) {
                ++x;
                continue;
            }
            const int start = x;
            while (x < image.width() && qAlpha(row[x]) >= 128)
                ++x;
            shape += QRect(start, y, x - start, 1);
        }
    }
    return shape;
}
