#include "RecordingIndicatorController.h"

#include "brand/AnimatedGradientLogoView.h"
#include "insertion/CaretLocator.h"
#include "insertion/CaretReveal.h"
#include "insertion/RecordingIndicatorPanel.h"
#include "platform/FrontmostApplication.h"
#include "support/StartupTrace.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QScreen>

#include <algorithm>

Q_LOGGING_CATEGORY(lcIndicator, "murmex.insertion", QtInfoMsg)

namespace {

// A screen's area in the window system's pixels, where the accessibility interface reports carets
// and the window manager frames: Qt keeps a screen's top-left corner and divides its size.
QRectF nativeBounds(const RecordingIndicatorController::Screen &screen)
{
    return QRectF(QPointF(screen.geometry.topLeft()), QSizeF(screen.geometry.size()) * screen.devicePixelRatio);
}

bool isOwnProcess(std::optional<qint64> processId)
{
    return processId == QCoreApplication::applicationPid();
}

} // namespace

RecordingIndicatorController::RecordingIndicatorController(AccessibilityCaretRevealer &caretLookupQueue, RevealState &revealState,
                                                           FrontmostApplication &frontmost, QObject *parent)
    : QObject(parent)
    , panel_(std::make_unique<RecordingIndicatorPanel>())
    , caretLookupQueue(caretLookupQueue)
    , revealState(revealState)
    , frontmost(frontmost)
{
    windowTopPlacementTimer.setSingleShot(true);
    windowTopPlacementTimer.setInterval(windowTopPlacementDelayMs);
    connect(&windowTopPlacementTimer, &QTimer::timeout, this, [this] {
        windowTopPlacementDue = true;
        if (positionRetryTimer && !placedAtCaret)
            placeAtFocusedWindowTop();
    });
}

RecordingIndicatorController::~RecordingIndicatorController() = default;

void RecordingIndicatorController::cancelCaretRevealSequence()
{
    revealState.cancelCaretRevealSequence();
}

void RecordingIndicatorController::prepare(std::optional<qint64> targetProcessId)
{
    cancelCaretRevealSequence();
    ++indicatorGeneration;
    targetApplicationPID = targetProcessId;
    preparedApplicationPID = targetProcessId;
    // Fills the element cache, so that the first caret after show comes from the cheap path.
    caretLookupQueue.performLookup([targetProcessId](CaretLocator &locator) {
        locator.clearCache();
        (void)locator.focusedCaretBounds(targetProcessId);
    });
}

void RecordingIndicatorController::show(std::optional<qint64> targetProcessId)
{
    cancelCaretRevealSequence();
    if (!(preparedApplicationPID && targetProcessId && *preparedApplicationPID == *targetProcessId))
        prepare(targetProcessId);
    preparedApplicationPID.reset();
    panel_->logoView().startAnimating();

    positionRetryTimer = std::make_unique<QTimer>();
    positionRetryTimer->setInterval(positionUpdateIntervalMs);
    connect(positionRetryTimer.get(), &QTimer::timeout, this, &RecordingIndicatorController::requestCaretPositionUpdate);
    positionRetryTimer->start();
    placedAtCaret = false;
    windowTopPlacementDue = false;
    windowTopPlacementTimer.start();
    requestCaretPositionUpdate();
}

void RecordingIndicatorController::hide()
{
    ++indicatorGeneration;
    positionRetryTimer.reset();
    targetApplicationPID.reset();
    preparedApplicationPID.reset();
    windowTopPlacementTimer.stop();
    windowTopPlacementDue = false;
    placedAtCaret = false;
    clearCacheOnLookupQueue();
    panel_->logoView().stopAnimating();
    panel_->hide();
}

void RecordingIndicatorController::clearCacheOnLookupQueue()
{
    caretLookupQueue.performLookup([](CaretLocator &locator) { locator.clearCache(); });
}

void RecordingIndicatorController::refreshTargetApplicationPID()
{
    // Murmex's own windows (its menu, an alert) are never dictated into.
    const std::optional<qint64> frontmostPID = frontmost.frontmostProcessId();
    if (!frontmostPID || isOwnProcess(frontmostPID) || frontmostPID == targetApplicationPID)
        return;
    qCDebug(lcIndicator) << "following process" << *frontmostPID << "instead of" << targetApplicationPID.value_or(-1);
    ++indicatorGeneration;
    targetApplicationPID = frontmostPID;
    clearCacheOnLookupQueue();
    // A caret seen in the application left behind says nothing about the new one.
    if (positionRetryTimer) {
        placedAtCaret = false;
        windowTopPlacementDue = false;
        windowTopPlacementTimer.start();
    }
}

void RecordingIndicatorController::requestCaretPositionUpdate()
{
    refreshTargetApplicationPID();
    if (isCaretLookupInFlight || !targetApplicationPID)
        return;
    isCaretLookupInFlight = true;
    const quint64 generation = indicatorGeneration;
    const qint64 target = *targetApplicationPID;
    caretLookupQueue.performLookup([self = QPointer(this), generation, target](CaretLocator &locator) {
        const std::optional<QRectF> caret = locator.focusedCaretBounds(target);
        AccessibilityCaretRevealer::answerOnMainThread([self, generation, target, caret] {
            if (self)
                self->caretBoundsFound(generation, target, caret);
        });
    });
}

void RecordingIndicatorController::caretBoundsFound(quint64 generation, qint64 target, std::optional<QRectF> caret)
{
    isCaretLookupInFlight = false;
    if (generation != indicatorGeneration || targetApplicationPID != target || !positionRetryTimer)
        return;
    if (!caret) {
        // Still no caret: the window-top place follows the focused window (it may have moved).
        if (windowTopPlacementDue && !placedAtCaret)
            placeAtFocusedWindowTop();
        return;
    }
    const std::optional<QPointF> origin = panelOrigin(*caret, currentScreens());
    if (!origin) {
        qCDebug(lcIndicator) << "no screen holds the caret" << *caret;
        return;
    }
    placedAtCaret = true;
    windowTopPlacementTimer.stop();
    movePanel(*origin);
}

void RecordingIndicatorController::placeAtFocusedWindowTop()
{
    const FocusedWindow focused = frontmost.focusedWindow();
    if (focused.window == 0 || isOwnProcess(focused.processId))
        return;
    const std::optional<QRect> frame = frontmost.frameGeometry(focused.window);
    if (!frame)
        return;
    if (const std::optional<QPointF> origin = windowTopOrigin(*frame, currentScreens()))
        movePanel(*origin);
}

void RecordingIndicatorController::movePanel(QPointF origin)
{
    const QPoint position = origin.toPoint();
    if (panel_->pos() != position)
        panel_->move(position);
    if (!panel_->isVisible()) {
        traceRecordingStartup(QStringLiteral("indicator-visible"));
        // Checked at each showing: a compositing manager may have started or ended meanwhile.
        panel_->setComposited(frontmost.windowsAreComposited());
        panel_->show();
    }
    panel_->raise();
}

QList<RecordingIndicatorController::Screen> RecordingIndicatorController::currentScreens()
{
    QList<Screen> screens;
    for (const QScreen *screen : QGuiApplication::screens()) // the primary one first
        screens.append({screen->geometry(), screen->availableGeometry(), screen->devicePixelRatio()});
    return screens;
}

std::optional<QPointF> RecordingIndicatorController::panelOrigin(const QRectF &caret, const QList<Screen> &screens)
{
    if (screens.isEmpty())
        return std::nullopt;
    const qreal w = indicatorSize.width();
    const qreal h = indicatorSize.height();
    const qreal g = caretGap;

    // The placement rules are those of a window system whose origin is the bottom left of the
    // primary screen, y growing upwards: Qt's rectangles are turned over that screen's bottom edge,
    // and the result is turned back once at the end.
    const qreal flipY = screens.first().geometry.y() + screens.first().geometry.height();
    const auto turned = [flipY](const QRectF &rect) { return QRectF(rect.x(), flipY - rect.y() - rect.height(), rect.width(), rect.height()); };

    const QRectF grownCaret = caret.adjusted(-2, -2, 2, 2);
    const auto holder = std::find_if(screens.begin(), screens.end(), [&](const Screen &screen) { return nativeBounds(screen).intersects(grownCaret); });
    if (holder == screens.end())
        return std::nullopt;
    const QRectF display = nativeBounds(*holder);
    const QRectF frame = turned(QRectF(holder->geometry));
    const QRectF visible = turned(QRectF(holder->availableGeometry));
    const qreal scale = holder->devicePixelRatio;

    const qreal left = frame.left() + (caret.left() - display.left()) / scale;
    const qreal right = frame.left() + (caret.right() - display.left()) / scale;
    const qreal top = frame.bottom() - (caret.top() - display.top()) / scale;
    const qreal bottom = frame.bottom() - (caret.bottom() - display.top()) / scale;

    qreal x = right + g;
    if (x + w > visible.right())
        x = left - w - g;
    qreal y = (top + bottom) / 2 - h / 2;
    x = std::min(std::max(x, visible.left()), visible.right() - w);
    y = std::min(std::max(y, visible.top()), visible.bottom() - h);
    return QPointF(x, flipY - y - h);
}

std::optional<QPointF> RecordingIndicatorController::windowTopOrigin(const QRect &frame, const QList<Screen> &screens)
{
    const QRectF window(frame);
    const QPointF topCentre(window.center().x(), window.top());
    auto holder = std::find_if(screens.begin(), screens.end(), [&](const Screen &screen) { return nativeBounds(screen).contains(topCentre); });
    if (holder == screens.end())
        holder = std::find_if(screens.begin(), screens.end(), [&](const Screen &screen) { return nativeBounds(screen).intersects(window); });
    if (holder == screens.end())
        return std::nullopt;
    const QRectF display = nativeBounds(*holder);
    const QRectF visible(holder->availableGeometry);
    const qreal scale = holder->devicePixelRatio;

    // Just inside the frame's top edge, over the middle of the title bar.
    const qreal x = holder->geometry.x() + (topCentre.x() - display.left()) / scale - indicatorSize.width() / 2;
    const qreal y = holder->geometry.y() + (topCentre.y() - display.top()) / scale + caretGap;
    return QPointF(std::clamp(x, visible.left(), std::max(visible.left(), visible.right() - indicatorSize.width())),
                   std::clamp(y, visible.top(), std::max(visible.top(), visible.bottom() - indicatorSize.height())));
}
