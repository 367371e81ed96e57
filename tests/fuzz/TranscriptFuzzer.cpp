// The finishing of a transcription (finishedText): what a speech engine wrote for each segment,
// made plain text, without what is not speech (speechOnlyTranscript), joined and run through the
// personal dictionary.
//
// Input: the transcript files' bytes one after another, separated by NUL bytes.
//
// Checked: a segment's kept text is not empty, has a letter or digit, no note symbols, and is made
// of pieces of the segment's plain text, no longer than it. The finished text is one line of plain
// text: no control, no direction mark, no white space but single spaces between words. The
// dictionary's replacements are its sources in another letter case, so the finished text is the one
// finished without a dictionary with at most the case of some letters changed, and applying the
// dictionary to it again changes nothing.
#include "FuzzCheck.h"

#include "dictionary/PersonalDictionaryStore.h"
#include "transcription/SpeechFilter.h"
#include "transcription/TranscriptFinishing.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

const TranscriptionLanguage language = TranscriptionLanguage::spanish;

PersonalDictionaryStore &dictionary()
{
    static PersonalDictionaryStore store = [] {
        PersonalDictionaryStore saved(Fuzz::folder() + QStringLiteral("/Dictionaries"));
        const QList<PersonalDictionaryEntry> entries{
            {QStringLiteral("murmex"), QStringLiteral("Murmex")},   {QStringLiteral("señor pérez"), QStringLiteral("Señor Pérez")},
            {QStringLiteral("github"), QStringLiteral("GitHub")},   {QStringLiteral("qt"), QStringLiteral("Qt")},
            {QStringLiteral("canción"), QStringLiteral("Canción")}, {QStringLiteral("pérez"), QStringLiteral("Pérez")},
        };
        const auto result = saved.save(entries, language);
        FUZZ_CHECK(result.has_value(), result.error().description);
        return saved;
    }();
    return store;
}

// One line of plain text, as finishedText promises.
bool isPlainText(const QString &text)
{
    const auto allowed = [](QChar character) {
        const char16_t unit = character.unicode();
        const bool directional = unit == u'\u061C' || unit == u'\u200E' || unit == u'\u200F' || (unit >= u'\u202A' && unit <= u'\u202E')
                                 || (unit >= u'\u2066' && unit <= u'\u2069');
        return character.category() != QChar::Other_Control && !directional && (character == u' ' || !character.isSpace());
    };
    return std::all_of(text.begin(), text.end(), allowed) && !text.contains(QStringLiteral("  ")) && text == text.trimmed();
}

void checkKeptText(const QString &speech, const QString &plain)
{
    const QString shown = Fuzz::shown(plain) + QStringLiteral(" → ") + Fuzz::shown(speech);
    FUZZ_CHECK(!speech.isEmpty() && isPlainText(speech), shown);
    FUZZ_CHECK(std::any_of(speech.begin(), speech.end(), [](QChar character) { return character.isLetterOrNumber(); }), shown);
    static const QRegularExpression noteSymbol(QStringLiteral("[♪♫♬🎵🎶]"));
    FUZZ_CHECK(!speech.contains(noteSymbol), shown);
    FUZZ_CHECK(speech.size() <= plain.size(), shown);
    for (const QString &word : speech.split(u' '))
        FUZZ_CHECK(plain.contains(word), shown + QStringLiteral("\nword ") + Fuzz::shown(word));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceLog();
    dictionary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QStringList written;
    for (const QByteArray &file : Fuzz::bytes(data, size).split('\0'))
        written.append(QString::fromUtf8(file));
    for (const QString &text : written) {
        const QString plain = plainText(text);
        if (const auto speech = speechOnlyTranscript(plain))
            checkKeptText(*speech, plain);
    }

    const QString undictated = finishedText(written, {});
    const QString finished = finishedText(written, [](const QString &text) { return dictionary().applying(text, language); });
    const QString shown = Fuzz::shown(undictated) + QStringLiteral(" → ") + Fuzz::shown(finished);
    FUZZ_CHECK(isPlainText(undictated) && isPlainText(finished), shown);
    const QString composed = undictated.normalized(QString::NormalizationForm_C);
    FUZZ_CHECK(finished == undictated || (finished.size() == composed.size() && finished.compare(composed, Qt::CaseInsensitive) == 0), shown);
    const QString again = dictionary().applying(finished, language);
    FUZZ_CHECK(again == finished, shown + QStringLiteral(" → ") + Fuzz::shown(again));
    return 0;
}
