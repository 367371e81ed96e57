#pragma once

#include <QRegion>
#include <QWidget>

class AnimatedGradientLogoView;

// The small window beside the caret: the turning gradient logo and nothing else. It floats above
// normal windows, never takes the focus, lets every click through to the window below and stays
// out of the task bar and the window switcher (the window manager never manages it).
//
// Its background is transparent. Where no compositing manager blends windows, transparent pixels
// would show black, so the window is then cut to the logo's shape.
class RecordingIndicatorPanel final : public QWidget {
    Q_OBJECT
public:
    static constexpr int side = 24;

    explicit RecordingIndicatorPanel(QWidget *parent = nullptr);

    AnimatedGradientLogoView &logoView() const { return *logoView_; }
    // With a compositor the logo's soft edges blend with what lies below; without one the window
    // keeps only the logo's mostly opaque pixels.
    void setComposited(bool composited);
    // The logo's pixels that are at least half opaque, in the panel's coordinates; a disc when the
    // logo cannot be read.
    static QRegion logoShape();

private:
    AnimatedGradientLogoView *logoView_;
};
