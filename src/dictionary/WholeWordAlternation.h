#pragma once

#include <QList>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <unordered_map>
#include <vector>

// A set of literal phrases found in a text as whole words, ignoring letter case, the longest phrase
// first. It finds exactly what the regular expression
//     (?<![\p{L}\p{M}\p{N}_])(?:phrase|phrase|…)(?![\p{L}\p{M}\p{N}_])
// finds, compiled case-insensitively with its phrases ordered longest first: a match is neither
// preceded nor followed by a letter, a combining mark, a digit or an underscore, and where several
// phrases match at one position the longest one that ends on such a boundary wins. A combining mark
// belongs to the letter before it, so a match never ends between a letter and its accent, nor
// starts right after an accent. Code points are compared as they are: callers that want composed
// and decomposed spellings to match bring phrases and text to one normal form first.
//
// It is a trie of case-folded code points rather than a regular expression because one PCRE2
// expression cannot hold a large dictionary (compiled patterns are limited to 64 K code units, a
// few thousand entries) and its JIT compilation alone costs tens of milliseconds; the trie builds
// in a few milliseconds for ten thousand phrases and visits each position of the text once.
class WholeWordAlternation {
public:
    // A match in UTF-16 code units.
    struct Match {
        qsizetype position = 0;
        qsizetype length = 0;
    };

    WholeWordAlternation();
    explicit WholeWordAlternation(const QStringList &phrases);

    // The non-overlapping matches, leftmost first, as a global regular-expression search finds them.
    [[nodiscard]] QList<Match> matches(QStringView text) const;

private:
    static constexpr std::uint32_t root = 0;

    std::uint32_t child(std::uint32_t node, char32_t foldedCodePoint) const;
    void insert(QStringView phrase);

    // (node << 32 | folded code point) → child node.
    std::unordered_map<std::uint64_t, std::uint32_t> edges;
    // Whether a phrase ends at the node; index 0 is the root.
    std::vector<bool> endsPhrase;
};
