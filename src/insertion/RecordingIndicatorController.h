#pragma once

#include "insertion/RecordingIndicator.h"

#include <QList>
#include <QObject>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSizeF>
#include <QTimer>

#include <memory>
#include <optional>

class AccessibilityCaretRevealer;
class FrontmostApplication;
class RecordingIndicatorPanel;
struct RevealState;

// The animated logo beside the text caret of the application being dictated into, while a
// recording runs.
//
// States: hidden (no timer, no target) → prepared on prepare() (target set, the lookup's element
// cache warmed) → shown on show() (the timer asks for the caret every 0.1 s and the panel goes next
// to it whenever one is found) → hidden on hide(). `indicatorGeneration` moves on every transition
// and every change of target, so that a lookup asked for before the change is dropped when it
// answers. The reveal passes after a paste are independent: prepare and show end their sequence,
// hide leaves it running.
//
// Where no caret is found 0.6 s after show (an application without accessibility, a terminal that
// reports no extents), the panel sits at the top centre of the focused window instead, so that the
// user still sees that Murmex listens, and goes to the caret as soon as one is found. Once placed
// at a caret it stays there while none is found; switching to another application starts over.
//
// Main thread only. The caret lookups run on the caret-lookup thread, with the locator the reveal
// passes share, one at a time.
class RecordingIndicatorController final : public QObject, public RecordingIndicator {
    Q_OBJECT
public:
    // A screen as Qt describes it: its whole area and the area not taken by panels and docks, in
    // Qt's coordinates (origin at the top left of the virtual desktop, y growing downwards), and
    // how many of the window system's pixels make one of Qt's.
    struct Screen {
        QRect geometry;
        QRect availableGeometry;
        qreal devicePixelRatio = 1;
    };

    static constexpr QSizeF indicatorSize{24, 24};
    static constexpr qreal caretGap = 4;
    static constexpr int positionUpdateIntervalMs = 100;
    static constexpr int windowTopPlacementDelayMs = 600;

    RecordingIndicatorController(AccessibilityCaretRevealer &caretLookupQueue, RevealState &revealState, FrontmostApplication &frontmost,
                                 QObject *parent = nullptr);
    ~RecordingIndicatorController() override;

    void prepare(std::optional<qint64> targetProcessId) override;
    void show(std::optional<qint64> targetProcessId) override;
    void hide() override;
    void cancelCaretRevealSequence();

    // Where the panel's top-left corner goes for a caret rectangle in the window system's pixels
    // (as the accessibility interface reports it): right of the caret, or left of it where the
    // right would leave the screen's visible area, vertically centred on it, kept inside that area.
    // None when no screen holds the caret. The first of `screens` is the primary one.
    static std::optional<QPointF> panelOrigin(const QRectF &caret, const QList<Screen> &screens);
    // Where the panel's top-left corner goes at the top centre of a window frame given in the window
    // system's pixels, kept inside the visible area of the screen that holds the frame's top.
    static std::optional<QPointF> windowTopOrigin(const QRect &frame, const QList<Screen> &screens);
    static QList<Screen> currentScreens();

    const RecordingIndicatorPanel &panel() const { return *panel_; }

private:
    void requestCaretPositionUpdate();
    void refreshTargetApplicationPID();
    void caretBoundsFound(quint64 generation, qint64 target, std::optional<QRectF> caret);
    void clearCacheOnLookupQueue();
    void placeAtFocusedWindowTop();
    void movePanel(QPointF origin);

    std::unique_ptr<RecordingIndicatorPanel> panel_;
    AccessibilityCaretRevealer &caretLookupQueue;
    std::unique_ptr<QTimer> positionRetryTimer; // exactly while shown
    std::optional<qint64> targetApplicationPID;
    std::optional<qint64> preparedApplicationPID;
    bool isCaretLookupInFlight = false;
    quint64 indicatorGeneration = 0;
    RevealState &revealState;
    FrontmostApplication &frontmost;
    // Beyond the caret: the window-top placement while no caret has been found since show or since
    // the last change of target.
    QTimer windowTopPlacementTimer;
    bool windowTopPlacementDue = false;
    bool placedAtCaret = false;
};
