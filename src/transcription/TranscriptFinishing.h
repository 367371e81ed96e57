#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The text a dictation pastes, made from what the engine wrote for each segment, in recording
// order: each transcript made plain text, what is not speech dropped (speechOnlyTranscript), the
// kept ones joined with a space, the personal dictionary applied to the whole, and the result made
// plain text again, so that no replacement can bring a line break or a control back.
QString finishedText(const QStringList &segmentTexts, const std::function<QString(const QString &)> &dictionary);

// One line of plain text: control characters (Unicode category Cc, escape sequences' ESC and the
// C1 controls included) and the marks, embeddings, overrides and isolates that reorder text are
// removed; every run of white space (tabs, line breaks, NEL, line and paragraph separators, no-break
// and other Unicode spaces) becomes one space; no space at either end. A terminal or a field that
// receives it sees nothing but characters to show.
QString plainText(const QString &text);
