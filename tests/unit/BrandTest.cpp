// The images drawn from the logo: the tray's status images at both pixel ratios, what happens
// without the logo, and the turning gradient logo.

#include "brand/AnimatedGradientLogoView.h"
#include "brand/BrandAssets.h"

#include <QTemporaryDir>
#include <QTest>
#include <QVariantAnimation>

#include <numbers>

namespace {

struct Pixels {
    int opaque = 0, wrongColour = 0;
    bool light = false, dark = false;
};

// Counts the fully opaque pixels and those of them that are not `colour` (when one is given).
Pixels pixelsOf(const QImage &image, const QColor &colour = QColor())
{
    Pixels pixels;
    const QImage converted = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < converted.height(); ++y)
        for (int x = 0; x < converted.width(); ++x)
            if (const QColor pixel = converted.pixelColor(x, y); pixel.alpha() == 255) {
                ++pixels.opaque;
                pixels.wrongColour += colour.isValid() && pixel.rgb() != colour.rgb();
                pixels.light = pixels.light || pixel.lightness() > 200;
                pixels.dark = pixels.dark || pixel.lightness() < 60;
            }
    return pixels;
}

} // namespace

class BrandTest final : public QObject {
    Q_OBJECT

private slots:
    void init() { BrandAssets::setLogoPath(QFINDTESTDATA("../../share/murmex/Murmex.svg")); }

    // Each status image at 18×18 (36×36 at ratio 2) in its colour, the template light with a dark outline when
    // no tray or desktop theme says otherwise; and the same with a title as square tray icons.
    void statusImages_data()
    {
        QTest::addColumn<BrandAssets::StatusImage>("kind");
        QTest::addColumn<QColor>("colour"); // invalid: the template
        QTest::addColumn<qreal>("ratio");
        for (const qreal ratio : {1.0, 2.0}) {
            QTest::addRow("template @%gx", ratio) << BrandAssets::StatusImage::idle << QColor() << ratio;
            QTest::addRow("recording @%gx", ratio) << BrandAssets::StatusImage::recording << BrandAssets::recordingTint << ratio;
            QTest::addRow("processing @%gx", ratio) << BrandAssets::StatusImage::processing << BrandAssets::processingTint << ratio;
        }
    }

    void statusImages()
    {
        QFETCH(BrandAssets::StatusImage, kind);
        QFETCH(QColor, colour);
        QFETCH(qreal, ratio);
        BrandAssets::prewarmStatusImages();
        const QIcon icon = BrandAssets::statusImage(!colour.isValid(), colour.isValid() ? std::optional(colour) : std::nullopt);
        QCOMPARE(icon.isMask(), !colour.isValid());
        QCOMPARE(BrandAssets::trayIcon(kind).cacheKey(), icon.cacheKey());

        const QImage image = icon.pixmap(QSize(18, 18), ratio).toImage();
        QCOMPARE(image.size(), QSize(18, 18) * ratio);
        const Pixels pixels = pixelsOf(image, colour);
        const int area = image.width() * image.height();
        QVERIFY2(pixels.opaque > area / 4 && pixels.opaque < area * 3 / 4, qPrintable(QString::number(pixels.opaque)));
        QCOMPARE(pixels.wrongColour, 0);
        QVERIFY(colour.isValid() || (pixels.light && pixels.dark));

        const QIcon titled = BrandAssets::trayIcon(kind, QStringLiteral(" REC"));
        QCOMPARE(BrandAssets::trayIcon(kind, QStringLiteral(" REC")).cacheKey(), titled.cacheKey());
        const QImage titledImage = titled.pixmap(QSize(22, 22), ratio).toImage();
        QCOMPARE(titledImage.size(), QSize(22, 22) * ratio);
        QVERIFY(pixelsOf(titledImage).dark);
    }

    // A logo file that cannot be read (here, a broken one) gives no images, and a view that draws nothing.
    void withoutTheLogoEverythingIsEmpty()
    {
        QTemporaryDir folder;
        QFile file(folder.filePath(QStringLiteral("Murmex.svg")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("<svg><path d=") > 0);
        file.close();
        BrandAssets::setLogoPath(file.fileName());

        QVERIFY(!BrandAssets::renderedLogo(QSizeF(18, 18)));
        BrandAssets::prewarmStatusImages();
        QVERIFY(BrandAssets::statusImage(true).isNull() && BrandAssets::statusImage(false).isNull());
        QVERIFY(BrandAssets::trayIcon(BrandAssets::StatusImage::recording, QStringLiteral(" REC")).isNull());
        AnimatedGradientLogoView view;
        view.resize(24, 24);
        view.startAnimating();
        QCOMPARE(pixelsOf(view.grab().toImage()).opaque, 0);
    }

    // The gradient turns through the logo at its speed; only one turn runs, and only while the view shows.
    void gradientTurnsWhileShown()
    {
        AnimatedGradientLogoView view;
        view.resize(32, 32);
        view.startAnimating();
        QVERIFY(!view.isAnimating());
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.startAnimating();
        QVERIFY(view.isAnimating());
        const QList<QVariantAnimation *> turns = view.findChildren<QVariantAnimation *>();
        QCOMPARE(turns.size(), 1);

        turns[0]->setCurrentTime(0);
        const QImage first = view.grab().toImage();
        turns[0]->setCurrentTime(AnimatedGradientLogoView::turnDurationMs / 4);
        QCOMPARE(view.rotationAngle(), std::numbers::pi / 2);
        const QImage second = view.grab().toImage();
        const int logoPixels = pixelsOf(*BrandAssets::renderedLogo(QSizeF(24, 24))).opaque;
        QCOMPARE(pixelsOf(first.copy(4, 4, 24, 24)).opaque, logoPixels); // the logo's shape, centred…
        QCOMPARE(pixelsOf(second).opaque, logoPixels);
        QVERIFY(first != second); // …in other colours

        view.hide();
        QVERIFY(!view.isAnimating());
        QCOMPARE(turns[0]->state(), QAbstractAnimation::Paused);
        view.show();
        QVERIFY(view.isAnimating());
        view.stopAnimating();
        QVERIFY(!view.isAnimating());
    }
};

QTEST_MAIN(BrandTest)
#include "BrandTest.moc"
