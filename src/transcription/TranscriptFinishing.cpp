#include "TranscriptFinishing.h"

#include "SpeechFilter.h"

namespace {

// Characters that change the direction in which the text around them is shown.
bool isDirectionalFormatting(char16_t character)
{
    return character == u'\u061C' || character == u'\u200E' || character == u'\u200F' || (character >= u'\u202A' && character <= u'\u202E')
           || (character >= u'\u2066' && character <= u'\u2069');
}

} // namespace

QString plainText(const QString &text)
{
    QString result;
    result.reserve(text.size());
    bool pendingSpace = false;
    for (const QChar character : text) {
        // Tabs, line feeds and NEL are both controls and white space: they count as space.
        if (character.isSpace()) {
            pendingSpace = !result.isEmpty();
            continue;
        }
        if (character.category() == QChar::Other_Control || isDirectionalFormatting(character.unicode()))
            continue;
        if (pendingSpace)
            result.append(QLatin1Char(' '));
        pendingSpace = false;
        result.append(character);
    }
    return result;
}

QString finishedText(const QStringList &segmentTexts, const std::function<QString(const QString &)> &dictionary)
{
    QStringList kept;
    for (const QString &text : segmentTexts)
        if (const auto speech = speechOnlyTranscript(plainText(text)))
            kept.append(*speech);
    const QString joined = kept.join(QLatin1Char(' '));
    return plainText(dictionary ? dictionary(joined) : joined);
}
