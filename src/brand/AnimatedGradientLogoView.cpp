#include "AnimatedGradientLogoView.h"

#include "BrandAssets.h"

#include <QConicalGradient>
#include <QPainter>
#include <QScreen>
#include <QVariantAnimation>

#include <cmath>
#include <numbers>

AnimatedGradientLogoView::AnimatedGradientLogoView(QWidget *parent)
    : QWidget(parent)
    , rotation_(new QVariantAnimation(this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    rotation_->setStartValue(0.0);
    rotation_->setEndValue(2 * std::numbers::pi);
    rotation_->setDuration(turnDurationMs);
    rotation_->setLoopCount(-1);
    rotation_->setEasingCurve(QEasingCurve::Linear);
    connect(rotation_, &QVariantAnimation::valueChanged, this, &AnimatedGradientLogoView::onRotationChanged);
}

AnimatedGradientLogoView::~AnimatedGradientLogoView() = default;

void AnimatedGradientLogoView::startAnimating()
{
    started_ = true;
    if (!isVisible())
        return; // showEvent starts it
    if (rotation_->state() == QAbstractAnimation::Paused)
        rotation_->resume();
    else if (rotation_->state() == QAbstractAnimation::Stopped)
        rotation_->start();
}

void AnimatedGradientLogoView::stopAnimating()
{
    started_ = false;
    if (rotation_->state() == QAbstractAnimation::Running)
        rotation_->pause();
}

bool AnimatedGradientLogoView::isAnimating() const
{
    return rotation_->state() == QAbstractAnimation::Running;
}

QSize AnimatedGradientLogoView::sizeHint() const
{
    return QSize(int(logoSize), int(logoSize));
}

void AnimatedGradientLogoView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (started_)
        startAnimating();
}

void AnimatedGradientLogoView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (rotation_->state() == QAbstractAnimation::Running)
        rotation_->pause();
}

void AnimatedGradientLogoView::onRotationChanged(const QVariant &value)
{
    rotationAngle_ = value.toReal();
    // About 30 frames a second are smooth at this speed; painting at the animation clock's 60 would
    // double the cost of the indicator for nothing.
    constexpr qreal framesPerTurn = turnDurationMs * 30 / 1000.0;
    constexpr qreal smallestStep = 2 * std::numbers::pi / framesPerTurn;
    const qreal moved = std::abs(std::remainder(rotationAngle_ - paintedAngle_, 2 * std::numbers::pi));
    if (moved < smallestStep)
        return;
    paintedAngle_ = rotationAngle_;
    update();
}

void AnimatedGradientLogoView::ensureMask(qreal devicePixelRatio)
{
    if (devicePixelRatio == maskDevicePixelRatio_)
        return;
    maskDevicePixelRatio_ = devicePixelRatio;
    mask_ = BrandAssets::renderedLogo(QSizeF(logoSize, logoSize), devicePixelRatio).value_or(QImage());
    frame_ = mask_.isNull() ? QImage() : QImage(mask_.size(), QImage::Format_ARGB32_Premultiplied);
    frame_.setDevicePixelRatio(devicePixelRatio);
}

void AnimatedGradientLogoView::paintEvent(QPaintEvent *)
{
    const QScreen *shownOn = screen();
    ensureMask(shownOn ? shownOn->devicePixelRatio() : 2.0);
    if (mask_.isNull())
        return;

    // The gradient's square, turned about the logo's centre, then cut to the logo's shape.
    frame_.fill(Qt::transparent);
    QPainter framePainter(&frame_);
    framePainter.setRenderHint(QPainter::Antialiasing);
    framePainter.translate(logoSize / 2, logoSize / 2);
    framePainter.rotate(rotationAngle_ * 180 / std::numbers::pi);
    QConicalGradient gradient(QPointF(0, 0), 90); // from the centre towards 12 o'clock
    gradient.setColorAt(0.0, QColor(0x4F, 0xCF, 0x70));
    gradient.setColorAt(0.25, QColor(0xFA, 0xD6, 0x48));
    gradient.setColorAt(0.5, QColor(0xA7, 0x67, 0xE5));
    gradient.setColorAt(0.75, QColor(0x12, 0xBC, 0xFE));
    gradient.setColorAt(1.0, QColor(0x44, 0xCE, 0x7B));
    const qreal half = logoSize / 2 + logoSize * gradientOverscanRatio;
    framePainter.fillRect(QRectF(-half, -half, 2 * half, 2 * half), gradient);
    framePainter.resetTransform();
    framePainter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    framePainter.drawImage(QPointF(0, 0), mask_);
    framePainter.end();

    QPainter painter(this);
    painter.drawImage(QPointF((width() - logoSize) / 2, (height() - logoSize) / 2), frame_);
}
