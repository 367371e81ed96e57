#include "WholeWordAlternation.h"

#include <QChar>

namespace {

constexpr std::uint32_t noNode = UINT32_MAX;

struct CodePoint {
    char32_t value;
    qsizetype width; // in UTF-16 code units
};

// A lone surrogate counts as a code point of its own, as it cannot be a letter.
CodePoint codePointAt(QStringView text, qsizetype index)
{
    const QChar unit = text[index];
    if (unit.isHighSurrogate() && index + 1 < text.size() && text[index + 1].isLowSurrogate())
        return {QChar::surrogateToUcs4(unit, text[index + 1]), 2};
    return {unit.unicode(), 1};
}

char32_t codePointBefore(QStringView text, qsizetype index)
{
    const QChar unit = text[index - 1];
    if (unit.isLowSurrogate() && index >= 2 && text[index - 2].isHighSurrogate())
        return QChar::surrogateToUcs4(text[index - 2], unit);
    return unit.unicode();
}

// [\p{L}\p{M}\p{N}_]: what may not touch either end of a match.
bool isWordCharacter(char32_t codePoint)
{
    return codePoint == U'_' || QChar::isLetterOrNumber(codePoint) || QChar::isMark(codePoint);
}

} // namespace

WholeWordAlternation::WholeWordAlternation()
    : endsPhrase(1, false)
{
}

WholeWordAlternation::WholeWordAlternation(const QStringList &phrases)
    : WholeWordAlternation()
{
    qsizetype units = 0;
    for (const QString &phrase : phrases)
        units += phrase.size();
    edges.reserve(units);
    endsPhrase.reserve(units + 1);
    for (const QString &phrase : phrases)
        insert(phrase);
}

void WholeWordAlternation::insert(QStringView phrase)
{
    if (phrase.isEmpty())
        return;
    std::uint32_t node = root;
    for (qsizetype index = 0; index < phrase.size();) {
        const CodePoint codePoint = codePointAt(phrase, index);
        index += codePoint.width;
        // Simple case folding is the equivalence under which the case-insensitive expression
        // compares code points, so phrases that differ only in case share their path.
        const std::uint64_t key = std::uint64_t(node) << 32 | QChar::toCaseFolded(codePoint.value);
        const auto [edge, added] = edges.try_emplace(key, std::uint32_t(endsPhrase.size()));
        if (added)
            endsPhrase.push_back(false);
        node = edge->second;
    }
    endsPhrase[node] = true;
}

std::uint32_t WholeWordAlternation::child(std::uint32_t node, char32_t foldedCodePoint) const
{
    const auto edge = edges.find(std::uint64_t(node) << 32 | foldedCodePoint);
    return edge == edges.end() ? noNode : edge->second;
}

QList<WholeWordAlternation::Match> WholeWordAlternation::matches(QStringView text) const
{
    QList<Match> found;
    if (edges.empty())
        return found;

    const qsizetype size = text.size();
    // The end of the longest phrase that starts at `start` and is not followed by a word
    // character; -1 when there is none. Walking on past a shorter phrase and falling back to it
    // when the longer one fails is what the expression's backtracking does.
    const auto longestMatchEnd = [&](qsizetype start) {
        qsizetype best = -1;
        std::uint32_t node = root;
        for (qsizetype index = start; index < size;) {
            const CodePoint codePoint = codePointAt(text, index);
            node = child(node, QChar::toCaseFolded(codePoint.value));
            if (node == noNode)
                break;
            index += codePoint.width;
            if (endsPhrase[node] && (index == size || !isWordCharacter(codePointAt(text, index).value)))
                best = index;
        }
        return best;
    };

    bool afterWordCharacter = false;
    for (qsizetype position = 0; position < size;) {
        if (!afterWordCharacter) {
            const qsizetype end = longestMatchEnd(position);
            if (end > position) {
                found.append({position, end - position});
                afterWordCharacter = isWordCharacter(codePointBefore(text, end));
                position = end;
                continue;
            }
        }
        const CodePoint codePoint = codePointAt(text, position);
        afterWordCharacter = isWordCharacter(codePoint.value);
        position += codePoint.width;
    }
    return found;
}
