#pragma once

#include <QString>

// One substitution of the personal dictionary: where the transcript says `source`, `replacement`
// is written instead. An empty replacement deletes the match.
struct PersonalDictionaryEntry {
    QString source;
    QString replacement;

    friend bool operator==(const PersonalDictionaryEntry &, const PersonalDictionaryEntry &) = default;
};
