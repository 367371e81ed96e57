#pragma once

#include "TextInsertion.h"

#include <QObject>

#include <chrono>

class Alerts;
class CaretRevealer;
class KeySynthesizer;
struct RevealState;

// Delivers a transcript into the application the user dictated into: the text goes on the
// clipboard, the paste shortcut is synthesised into the target and, a little later, two caret
// reveal passes make the target show its caret again (the first one nudges it left and right).
// Where synthetic keys are not allowed the text stays on the clipboard and the user is told how to
// allow them.
class PasteAtCursor final : public QObject, public TextInsertion {
    Q_OBJECT
public:
    // Both passes are timed from the moment the completion has returned.
    static constexpr std::chrono::milliseconds firstRevealDelay{160};
    static constexpr std::chrono::milliseconds secondRevealDelay{480};

    PasteAtCursor(KeySynthesizer &keys, Alerts &alerts, RevealState &revealState, CaretRevealer &revealer, QObject *parent = nullptr);

    void pasteAtCapturedCursor(const QString &text, std::optional<qint64> targetProcessId, std::function<void()> completion) override;

private:
    void postPasteAndReveal(std::optional<qint64> target, quint64 sequence, const std::function<void()> &completion);
    void runRevealPass(std::optional<qint64> target, quint64 sequence, bool nudgeWhenCurrent);

    KeySynthesizer &keys;
    Alerts &alerts;
    RevealState &revealState;
    CaretRevealer &revealer;
};
