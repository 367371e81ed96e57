#pragma once

#include "PersonalDictionaryEntry.h"
#include "TranscriptionLanguage.h"
#include "WholeWordAlternation.h"
#include "support/Error.h"

#include <QHash>
#include <QList>
#include <QLocale>
#include <QSet>
#include <QString>

// The personal dictionaries, one substitution list per transcription language, kept as
// <dictionaries folder>/<raw value>.json, and the matcher that applies a list to a transcript.
// Lists are loaded on first use and cached; every successful load or save rebuilds the language's
// matcher from the same cleaned list. Main thread only; there are no locks.
class PersonalDictionaryStore {
public:
    // The matcher of one language.
    struct CompiledDictionary {
        // All sources in canonical composition (NFC) as one whole-word, case-insensitive,
        // longest-first alternation.
        WholeWordAlternation expression;
        // Normalised key of each source → its replacement.
        QHash<QString, QString> replacements;
        // Lower-cases matched texts into keys.
        QLocale locale;

        // `entries` must be sanitised: no empty sources, one entry per key.
        [[nodiscard]] static CompiledDictionary compile(const QList<PersonalDictionaryEntry> &entries, const QLocale &locale);
        // Matches the text in NFC, so that composed and decomposed spellings meet, and replaces
        // every match whose key has a replacement, verbatim. The result is the text in NFC with
        // the replacements; a text in which nothing was replaced comes back as it was.
        [[nodiscard]] QString apply(const QString &text) const;
    };

    // Failures are errors of the domain "MurmexDictionary" with these codes and a Spanish
    // description naming the file or folder.
    enum ErrorCode { readFailed = 1, decodeFailed = 2, folderNotCreated = 3, writeFailed = 4 };

    // `dictionariesFolder` is the "Dictionaries" folder below the support root; it is created on
    // the first save.
    explicit PersonalDictionaryStore(QString dictionariesFolder);

    // The cleaned list of the language; a missing file is an empty list. A read or decode error
    // is returned and nothing is cached, so the next call reads the file again.
    [[nodiscard]] Expected<QList<PersonalDictionaryEntry>> entries(TranscriptionLanguage language);
    // Cleans `list`, writes it atomically and caches it. On failure the file on disk is the old or
    // the new version and the caches are unchanged.
    [[nodiscard]] Expected<void> save(const QList<PersonalDictionaryEntry> &list, TranscriptionLanguage language);
    // `text` with the language's substitutions applied; unchanged when the list is empty or
    // cannot be loaded.
    [[nodiscard]] QString applying(const QString &text, TranscriptionLanguage language);

    [[nodiscard]] QString fileURL(TranscriptionLanguage language) const;

    // Trims both texts, drops entries without a source and every entry whose source has the key of
    // an earlier one. Order and the letters of the kept texts stay.
    [[nodiscard]] static QList<PersonalDictionaryEntry> sanitized(const QList<PersonalDictionaryEntry> &list, const QLocale &locale);
    // The text in canonical composition (NFC), lower-cased with `locale`: sources that differ only
    // in case or composition share a key.
    [[nodiscard]] static QString normalizedKey(const QString &text, const QLocale &locale);

private:
    void rebuildMatcher(TranscriptionLanguage language, const QList<PersonalDictionaryEntry> &list);

    QString dictionariesFolder;
    QHash<TranscriptionLanguage, QList<PersonalDictionaryEntry>> entriesCache;
    QHash<TranscriptionLanguage, CompiledDictionary> compiledCache;
    QSet<TranscriptionLanguage> languagesWithoutEntries;
};
