#pragma once

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QSlider;

// The "Volumen durante el dictado" panel, where the user chooses how loud the computer stays while
// a dictation records: a slider from 0 to 100 % that moves freely (its five ticks only mark the
// scale) and the chosen value beside it, rounded to a whole percent.
//
// "Guardar" (or Return) ends it with the rounded value; "Cancelar", Escape, closing the window and
// the panel losing activation end it without one. onFinish runs exactly once; the panel is hidden
// by then and its owner deletes it later (deleteLater), never from inside onFinish.
class RecordingVolumeController final : public QWidget {
    Q_OBJECT
public:
    using FinishHandler = std::function<void(std::optional<int>)>;

    // The slider moves in tenths of a percent.
    static constexpr int sliderStepsPerPercent = 10;

    RecordingVolumeController(int currentPercentage, FinishHandler onFinish, QWidget *parent = nullptr);

    // Shows the panel (centred on its screen the first time), brings it to the front and activates
    // it. Calling it again while open only brings it to the front; once finished it does nothing.
    void present();

    // The buttons' actions.
    void save();
    void cancel();

    QSlider *slider() const { return slider_; }
    QString percentageText() const;
    bool hasFinished() const { return hasFinished_; }

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildInterface(int currentPercentage);
    int roundedPercentage() const;
    void finish(std::optional<int> percentage);

    FinishHandler onFinish;
    QSlider *slider_ = nullptr;
    QLabel *percentageLabel = nullptr;
    bool hasFinished_ = false;
    bool hasBeenPlaced = false;
};
