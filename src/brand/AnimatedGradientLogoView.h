#pragma once

#include <QImage>
#include <QWidget>

class QVariantAnimation;

// The logo filled with a conic colour gradient that turns: the gradient shows only through the
// logo's opaque pixels, around it the view is transparent. Used in the small floating indicator
// beside the text caret.
//
// The turn runs only while it is started and the view is visible: hiding pauses it and showing
// resumes it, so a hidden or stopped view costs no CPU. Without the logo nothing is drawn.
class AnimatedGradientLogoView final : public QWidget {
    Q_OBJECT
public:
    static constexpr qreal logoSize = 24.0;
    // How far the gradient's square reaches beyond the logo on every side, in logo sizes: enough
    // that the turning square always covers the logo's corners.
    static constexpr qreal gradientOverscanRatio = 0.25;
    // One full turn of the gradient, linear, repeated forever.
    static constexpr int turnDurationMs = 3600;

    explicit AnimatedGradientLogoView(QWidget *parent = nullptr);
    ~AnimatedGradientLogoView() override;

    // Starting twice keeps the one turn going; stopping keeps the gradient where it is.
    void startAnimating();
    void stopAnimating();
    // Whether the gradient turns right now: started and visible.
    bool isAnimating() const;
    // The gradient's turn in radians, from 0 up to 2π.
    qreal rotationAngle() const { return rotationAngle_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void onRotationChanged(const QVariant &value);
    void ensureMask(qreal devicePixelRatio);

    QVariantAnimation *rotation_ = nullptr;
    bool started_ = false;
    qreal rotationAngle_ = 0;
    qreal paintedAngle_ = 0; // the angle of the last repaint asked for
    // The logo at logoSize and the screen's device pixel ratio, rendered once per ratio; null
    // without the logo.
    QImage mask_;
    qreal maskDevicePixelRatio_ = 0;
    // The image every frame is drawn into, reused.
    QImage frame_;
};
