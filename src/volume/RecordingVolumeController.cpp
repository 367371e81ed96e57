#include "RecordingVolumeController.h"

#include "panels/PanelWindow.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Panel geometry, in device-independent pixels.
constexpr QSize contentSize{460, 220};
constexpr int sliderMinimumWidth = 320;
constexpr int percentageLabelWidth = 58;
constexpr int titleFontPixels = 15;
constexpr int percentageFontPixels = 14;

QString percentText(int percentage)
{
    return QStringLiteral("%1 %").arg(percentage);
}

// Text that explains rather than states: the palette's placeholder colour.
QLabel *secondaryLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QPalette palette = label->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::WindowText, palette.color(group, QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

} // namespace

RecordingVolumeController::RecordingVolumeController(int currentPercentage, FinishHandler onFinish, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      onFinish(std::move(onFinish))
{
    setWindowTitle(QStringLiteral("Volumen durante el dictado"));
    buildInterface(std::clamp(currentPercentage, 0, 100));
}

void RecordingVolumeController::buildInterface(int currentPercentage)
{
    auto *title = new QLabel(QStringLiteral("Volumen del ordenador mientras grabas"), this);
    QFont titleFont = title->font();
    titleFont.setPixelSize(titleFontPixels);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);

    QLabel *explanation = secondaryLabel(QStringLiteral("100 % mantiene el volumen actual, 50 % lo reduce a la mitad y 0 % lo "
                                                        "silencia. Al terminar, se restaura automáticamente."),
                                         this);
    explanation->setWordWrap(true);

    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setRange(0, 100 * sliderStepsPerPercent);
    slider_->setSingleStep(sliderStepsPerPercent);
    slider_->setPageStep(10 * sliderStepsPerPercent);
    slider_->setValue(currentPercentage * sliderStepsPerPercent);
    slider_->setTracking(true);
    // Five ticks: 0, 25, 50, 75 and 100 %.
    slider_->setTickPosition(QSlider::TicksBelow);
    slider_->setTickInterval(25 * sliderStepsPerPercent);
    slider_->setMinimumWidth(sliderMinimumWidth);

    percentageLabel = new QLabel(percentText(currentPercentage), this);
    QFont percentageFont = percentageLabel->font();
    percentageFont.setPixelSize(percentageFontPixels);
    percentageFont.setWeight(QFont::Medium);
    percentageLabel->setFont(percentageFont);
    percentageLabel->setFixedWidth(percentageLabelWidth);
    // Right-aligned, so that the sign stays put while the number changes.
    percentageLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connect(slider_, &QSlider::valueChanged, this, [this] { percentageLabel->setText(percentText(roundedPercentage())); });

    auto *sliderRow = new QHBoxLayout;
    sliderRow->setSpacing(12);
    sliderRow->addWidget(slider_, 1);
    sliderRow->addWidget(percentageLabel);

    auto *scaleRow = new QHBoxLayout;
    scaleRow->addWidget(secondaryLabel(percentText(0), this));
    scaleRow->addStretch(1);
    scaleRow->addWidget(secondaryLabel(percentText(100), this));

    auto *cancelButton = new QPushButton(QStringLiteral("Cancelar"), this);
    auto *saveButton = new QPushButton(QStringLiteral("Guardar"), this);
    // Drawn as the default button; Return and Escape reach them through keyPressEvent.
    saveButton->setDefault(true);
    connect(cancelButton, &QPushButton::clicked, this, &RecordingVolumeController::cancel);
    connect(saveButton, &QPushButton::clicked, this, &RecordingVolumeController::save);
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addWidget(cancelButton);
    buttons->addWidget(saveButton);

    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(24, 22, 24, 18);
    stack->setSpacing(11);
    stack->addWidget(title);
    stack->addWidget(explanation);
    stack->addLayout(sliderRow);
    stack->addLayout(scaleRow);
    stack->addStretch(1);
    stack->addLayout(buttons);
    stack->setAlignment(buttons, Qt::AlignHCenter);

    slider_->setFocus();
    // A larger system font must not clip the content.
    setFixedSize(contentSize.expandedTo(stack->totalMinimumSize()));
}

void RecordingVolumeController::present()
{
    if (hasFinished_)
        return;
    PanelWindow::present(*this, hasBeenPlaced);
}

QString RecordingVolumeController::percentageText() const
{
    return percentageLabel->text();
}

int RecordingVolumeController::roundedPercentage() const
{
    // Halves away from zero, as the label shows it.
    return int(std::lround(double(slider_->value()) / sliderStepsPerPercent));
}

void RecordingVolumeController::save()
{
    finish(roundedPercentage());
}

void RecordingVolumeController::cancel()
{
    finish(std::nullopt);
}

bool RecordingVolumeController::event(QEvent *event)
{
    // Another window or application in front cancels the panel.
    if (event->type() == QEvent::WindowDeactivate)
        finish(std::nullopt);
    return QWidget::event(event);
}

void RecordingVolumeController::keyPressEvent(QKeyEvent *event)
{
    // The slider takes the arrow and page keys and leaves these to the window.
    switch (PanelWindow::keyOf(*event)) {
    case PanelWindow::Key::cancel: cancel(); return;
    case PanelWindow::Key::accept: save(); return;
    case PanelWindow::Key::other: break;
    }
    QWidget::keyPressEvent(event);
}

void RecordingVolumeController::closeEvent(QCloseEvent *event)
{
    finish(std::nullopt);
    QWidget::closeEvent(event);
}

void RecordingVolumeController::finish(std::optional<int> percentage)
{
    if (hasFinished_)
        return;
    hasFinished_ = true;
    hide();
    // Taken out first: the owner may delete the panel (deleteLater) from the handler.
    const FinishHandler handler = std::exchange(onFinish, nullptr);
    if (handler)
        handler(percentage);
}
