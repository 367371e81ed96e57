#pragma once

#include "platform/FrontmostApplication.h"

#include <QString>

#include <functional>

// Where a dictation's text goes: the top-level window that had the keyboard focus when the
// dictation started, with its process; no window (0) when none had the focus.
using InsertionTarget = FocusedWindow;

// Delivers dictated text to the window the user dictated into.
class TextInsertion {
public:
    virtual ~TextInsertion() = default;
    // `completion` runs on the main thread once the text has been handed over.
    virtual void pasteAtCapturedCursor(const QString &text, const InsertionTarget &target, std::function<void()> completion) = 0;
};
