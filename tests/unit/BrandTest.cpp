// The images drawn from the logo: the tray's status images at both pixel ratios, the fit of the
// logo in a rectangle, what happens without the logo, and the turning gradient logo.

#include "brand/AnimatedGradientLogoView.h"
#include "brand/BrandAssets.h"

#include <QTemporaryDir>
#include <QTest>
#include <QVariantAnimation>

#include <numbers>

namespace {

struct Pixels {
    int opaque = 0;
    int wrongColour = 0;
    bool light = false, dark = false;
};

// Counts the fully opaque pixels and those of them that are not `colour` (when one is given).
Pixels pixelsOf(const QImage &image, const QColor &colour = QColor())
{
    Pixels pixels;
    const QImage converted = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < converted.height(); ++y) {
        for (int x = 0; x < converted.width(); ++x) {
            const QColor pixel = converted.pixelColor(x, y);
            if (pixel.alpha() != 255)
                continue;
            ++pixels.opaque;
            pixels.wrongColour += colour.isValid() && pixel.rgb() != colour.rgb();
            pixels.light = pixels.light || pixel.lightness() > 200;
            pixels.dark = pixels.dark || pixel.lightness() < 60;
        }
    }
    return pixels;
}

const QString logo = QFINDTESTDATA("../../share/murmex/Murmex.svg");

} // namespace

class BrandTest final : public QObject {
    Q_OBJECT

private slots:
    void init() { BrandAssets::setLogoPath(logo); }

    // Each status image at 18×18 and at 36×36 for ratio 2, filled with its colour; the template,
    // without a tray or desktop theme to follow, light with a dark outline.
    void statusImages_data()
    {
        QTest::addColumn<BrandAssets::StatusImage>("kind");
        QTest::addColumn<QColor>("colour"); // invalid: the template
        QTest::addColumn<qreal>("ratio");
        for (const qreal ratio : {1.0, 2.0}) {
            const QByteArray suffix = ratio == 1 ? " @1x" : " @2x";
            QTest::newRow("template" + suffix) << BrandAssets::StatusImage::idle << QColor() << ratio;
            QTest::newRow("recording" + suffix) << BrandAssets::StatusImage::recording << BrandAssets::recordingTint << ratio;
            QTest::newRow("processing" + suffix) << BrandAssets::StatusImage::processing << BrandAssets::processingTint << ratio;
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
        if (!colour.isValid())
            QVERIFY(pixels.light && pixels.dark);

        // With a title: square, cached, and more than the plain image.
        const QIcon titled = BrandAssets::trayIcon(kind, QStringLiteral(" REC"));
        QCOMPARE(BrandAssets::trayIcon(kind, QStringLiteral(" REC")).cacheKey(), titled.cacheKey());
        const QImage titledImage = titled.pixmap(QSize(22, 22), ratio).toImage();
        QCOMPARE(titledImage.size(), QSize(22, 22) * ratio);
        QVERIFY(pixelsOf(titledImage).dark);
    }

    // A wide rectangle: the logo at the height's scale, centred across, the same pixels as the
    // square one.
    void wideRectangleDrawsTheLogoCentred()
    {
        const std::optional<QImage> square = BrandAssets::renderedLogo(QSizeF(24, 24), 2);
        const std::optional<QImage> wide = BrandAssets::renderedLogo(QSizeF(48, 24), 2);
        QVERIFY(square && wide);
        QCOMPARE(wide->size(), QSize(96, 48));
        QCOMPARE(wide->devicePixelRatio(), 2.0);
        QCOMPARE(wide->copy(24, 0, 48, 48), square->copy());
        QCOMPARE(pixelsOf(wide->copy(0, 0, 24, 48)).opaque + pixelsOf(wide->copy(72, 0, 24, 48)).opaque, 0);
    }

    void withoutTheLogoEverythingIsEmpty_data()
    {
        QTest::addColumn<QByteArray>("contents"); // empty: no file at all
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("not an image") << QByteArray("<svg><path d=");
    }

    void withoutTheLogoEverythingIsEmpty()
    {
        QFETCH(QByteArray, contents);
        QTemporaryDir folder;
        QFile file(folder.filePath(QStringLiteral("Murmex.svg")));
        QVERIFY(contents.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size()));
        file.close();
        BrandAssets::setLogoPath(file.fileName());

        QVERIFY(!BrandAssets::renderedLogo(QSizeF(18, 18)));
        BrandAssets::prewarmStatusImages();
        QVERIFY(BrandAssets::statusImage(true).isNull());
        QVERIFY(BrandAssets::statusImage(false).isNull());
        QVERIFY(BrandAssets::trayIcon(BrandAssets::StatusImage::recording, QStringLiteral(" REC")).isNull());
        AnimatedGradientLogoView view;
        view.resize(24, 24);
        view.startAnimating();
        QCOMPARE(pixelsOf(view.grab().toImage()).opaque, 0);
    }

    // The gradient turns through the logo; only one turn runs, and only while the view shows.
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
