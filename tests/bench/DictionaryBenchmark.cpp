// What the personal dictionary costs: cleaning a list, building its matcher, loading it from its
// file, and applying it to a 5 000-character transcript, for 1 000 and 10 000 entries. Prints the
// median of several runs; never fails on a time.
//
//   build/tests/bench/bench_dictionary

#include "dictionary/PersonalDictionaryStore.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

using Clock = std::chrono::steady_clock;

double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

const QStringList syllables{u"ca"_s, u"ción"_s, u"ma"_s, u"de"_s, u"la"_s, u"que"_s, u"el"_s, u"ro"_s, u"ta"_s, u"pa"_s,
                            u"ñi"_s, u"gó"_s, u"tí"_s, u"bre"_s, u"cla"_s, u"tra"_s, u"ver"_s, u"zu"_s, u"xi"_s, u"quì"_s,
                            u"l·l"_s, u"es"_s, u"te"_s, u"fa"_s, u"mó"_s, u"ny"_s, u"sa"_s, u"lu"_s};

// Made-up words and phrases of one to three words, a few with dots as in "s.a.".
QList<PersonalDictionaryEntry> makeEntries(int count, std::mt19937 &random)
{
    QList<PersonalDictionaryEntry> entries;
    for (int index = 0; index < count; ++index) {
        QString source;
        for (int word = 0, words = 1 + int(random() % 3); word < words; ++word) {
            if (word > 0)
                source += QLatin1Char(' ');
            for (int syllable = 0, length = 2 + int(random() % 3); syllable < length; ++syllable)
                source += syllables[random() % syllables.size()];
        }
        if (random() % 20 == 0)
            source += u".a."_s;
        entries.append({source, source.left(1).toUpper() + source.mid(1)});
    }
    return entries;
}

// About one word in five is a dictionary source, in any case; the rest are ordinary words.
QString makeText(const QList<PersonalDictionaryEntry> &entries, std::mt19937 &random)
{
    const QStringList ordinary{u"y"_s, u"el"_s, u"de"_s, u"que"_s, u"la"_s, u"también"_s, u"però"_s, u"canción"_s, u"mañana"_s,
                               u"per"_s, u"això"_s, u"llegó"_s, u"ver"_s, u"casa"_s, u"feina"_s, u"dijo,"_s, u"sí."_s};
    QString text;
    while (text.size() < 5000) {
        if (random() % 5 == 0) {
            const QString source = entries[random() % entries.size()].source;
            text += random() % 2 ? source.toUpper() : source;
        } else {
            text += ordinary[random() % ordinary.size()];
        }
        text += QLatin1Char(' ');
    }
    return text.left(5000);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir folder;
    const QLocale locale(u"es_ES"_s);
    std::mt19937 random(20240611);

    std::printf("Personal dictionary, 5 000-character text (ms, median)\n");
    std::printf("%8s %10s %10s %10s %10s %10s %9s\n", "entries", "sanitise", "compile", "load", "apply", "no match", "matches");
    for (const int count : {1000, 10000}) {
        const QList<PersonalDictionaryEntry> entries = makeEntries(count, random);
        const QString text = makeText(entries, random);
        const QString plain = QString(u"ningún término del diccionario aparece aquí. "_s).repeated(110).left(5000);

        QList<PersonalDictionaryEntry> clean;
        const double sanitiseMs = medianMs(9, [&] { clean = PersonalDictionaryStore::sanitized(entries, locale); });
        PersonalDictionaryStore::CompiledDictionary compiled;
        const double compileMs = medianMs(9, [&] { compiled = PersonalDictionaryStore::CompiledDictionary::compile(clean, locale); });

        // Loading is what start-up does per language: read, decode, clean, build the matcher.
        const QString languageFolder = folder.path() + u"/%1"_s.arg(count);
        if (!PersonalDictionaryStore(languageFolder).save(entries, TranscriptionLanguage::spanish)) {
            std::fprintf(stderr, "could not save the dictionary\n");
            return 1;
        }
        const double loadMs = medianMs(9, [&] { (void)PersonalDictionaryStore(languageFolder).entries(TranscriptionLanguage::spanish); });

        QString result;
        const double applyMs = medianMs(101, [&] { result = compiled.apply(text); });
        const double plainMs = medianMs(101, [&] { (void)compiled.apply(plain); });
        const qsizetype matches = compiled.expression.matches(text).size();
        std::printf("%8d %10.2f %10.2f %10.2f %10.3f %10.3f %9lld\n", count, sanitiseMs, compileMs, loadMs, applyMs, plainMs, qint64(matches));
    }
    return 0;
}
