// The finishing of a transcription: each segment's transcript as a speech engine writes it, its
// white space collapsed and what is not speech dropped (speechOnlyTranscript), the kept texts joined
// with spaces and the personal dictionary applied to the whole, as the transcription service does.
//
// Input: the transcript files' bytes one after another, separated by NUL bytes.
//
// Checked: a kept text is not empty, has no white space at either end, no run of spaces and no
// other ASCII white space, has a letter or digit and no note symbols, is no longer than what the
// engine wrote, and each of its words is a piece of that. The dictionary's replacements are its
// sources in another letter case, so the finished text is the joined one with at most the case of
// some letters changed, and applying the dictionary again changes nothing.
#include "FuzzCheck.h"

#include "dictionary/PersonalDictionaryStore.h"
#include "transcription/SpeechFilter.h"

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

bool isAsciiWhiteSpaceOtherThanSpace(QChar character)
{
    return character == u'\t' || character == u'\n' || character == u'\v' || character == u'\f' || character == u'\r';
}

void checkKeptText(const QString &speech, const QString &written)
{
    const QString shown = Fuzz::shown(written) + QStringLiteral(" → ") + Fuzz::shown(speech);
    FUZZ_CHECK(!speech.isEmpty() && speech == speech.trimmed(), shown);
    FUZZ_CHECK(!speech.contains(QStringLiteral("  ")) && std::none_of(speech.begin(), speech.end(), isAsciiWhiteSpaceOtherThanSpace), shown);
    FUZZ_CHECK(std::any_of(speech.begin(), speech.end(), [](QChar character) { return character.isLetterOrNumber(); }), shown);
    static const QRegularExpression noteSymbol(QStringLiteral("[♪♫♬🎵🎶]"));
    FUZZ_CHECK(!speech.contains(noteSymbol), shown);
    FUZZ_CHECK(speech.size() <= written.size(), shown);
    for (const QString &word : speech.split(u' '))
        FUZZ_CHECK(written.contains(word), shown + QStringLiteral("\nword ") + Fuzz::shown(word));
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
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"));
    QStringList kept;
    for (const QByteArray &file : Fuzz::bytes(data, size).split('\0')) {
        const QString written = QString::fromUtf8(file);
        const QString text = written.split(whiteSpace, Qt::SkipEmptyParts).join(u' ');
        if (const auto speech = speechOnlyTranscript(text)) {
            checkKeptText(*speech, written);
            kept.append(*speech);
        }
    }
    const QString joined = kept.join(u' ');
    const QString finished = dictionary().applying(joined, language);

    // Every replacement differs from its source only in letter case: a changed text is the composed
    // one with some letters in another case.
    const QString composed = joined.normalized(QString::NormalizationForm_C);
    FUZZ_CHECK(finished == joined || (finished.size() == composed.size() && finished.compare(composed, Qt::CaseInsensitive) == 0),
               Fuzz::shown(joined) + QStringLiteral(" → ") + Fuzz::shown(finished));
    const QString again = dictionary().applying(finished, language);
    FUZZ_CHECK(again == finished, Fuzz::shown(joined) + QStringLiteral(" → ") + Fuzz::shown(finished) + QStringLiteral(" → ") + Fuzz::shown(again));
    return 0;
}
