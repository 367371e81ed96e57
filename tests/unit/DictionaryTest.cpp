// The personal dictionary: cleaning of lists, the whole-word matcher and the files.

#include "dictionary/PersonalDictionaryStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

using Entries = QList<PersonalDictionaryEntry>;

// Rows give lists as source, replacement, source, replacement, …
Entries entriesFrom(const QStringList &pairs)
{
    Entries list;
    for (qsizetype index = 0; index + 1 < pairs.size(); index += 2)
        list.append({pairs[index], pairs[index + 1]});
    return list;
}

QStringList pairsOf(const Entries &list)
{
    QStringList pairs;
    for (const PersonalDictionaryEntry &entry : list)
        pairs << entry.source << entry.replacement;
    return pairs;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class DictionaryTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        home.emplace();
        QVERIFY(home->isValid());
        folder = home->path() + u"/Murmex/Dictionaries"_s;
    }

    void sanitizing_data()
    {
        QTest::addColumn<QStringList>("input");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("trimmed; case duplicate and blank source dropped; empty replacement kept")
            << QStringList{u"  Hola "_s, u"Adiós "_s, u"hola"_s, u"Buenas"_s, u"   "_s, u"nada"_s, u"\tvale\n"_s, u" "_s}
            << QStringList{u"Hola"_s, u"Adiós"_s, u"vale"_s, QString()};
        QTest::newRow("composition and case share a key, the first keeps its letters")
            << QStringList{u"cancio\u0301n"_s, u"A"_s, u"CANCIÓN"_s, u"B"_s, u"canci\u00f3n"_s, u"C"_s} << QStringList{u"cancio\u0301n"_s, u"A"_s};
        QTest::newRow("an accent makes another source") << QStringList{u"como"_s, u"A"_s, u"Col·legi"_s, u"B"_s, u"cómo"_s, u"C"_s, u"col·legi"_s, u"D"_s}
                                                        << QStringList{u"como"_s, u"A"_s, u"Col·legi"_s, u"B"_s, u"cómo"_s, u"C"_s};
    }

    void sanitizing()
    {
        QFETCH(QStringList, input);
        QFETCH(QStringList, expected);
        QCOMPARE(pairsOf(PersonalDictionaryStore::sanitized(entriesFrom(input), QLocale(u"es_ES"_s))), expected);
    }

    void applying_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QStringList ana{u"ana"_s, u"Ana"_s};
        const QStringList york{u"nueva"_s, u"X"_s, u"nueva york"_s, u"Nueva York"_s};
        QTest::newRow("dots taken literally") << QStringList{u"s.a."_s, u"S.A."_s} << u"la s.a. paga, la sxax no"_s << u"la S.A. paga, la sxax no"_s;
        QTest::newRow("not inside words, text kept as it was")
            << ana << u"banana, ana_1, ana2, ñana, anaïs y cafe\u0301"_s << u"banana, ana_1, ana2, ñana, anaïs y cafe\u0301"_s;
        // U+0331 has no precomposed form with these letters, so it stays a mark of its own after NFC.
        QTest::newRow("a combining mark belongs to its word") << ana << u"ana\u0331, la\u0331ana y ana"_s << u"ana\u0331, la\u0331ana y Ana"_s;
        QTest::newRow("no match before a decomposed accent") << QStringList{u"pie"_s, u"X"_s} << u"pie\u0301 y pie"_s << u"pié y X"_s;
        QTest::newRow("any case, replacement verbatim") << QStringList{u"ANA"_s, u"Ana"_s, u"canción"_s, u"Canción"_s}
                                                        << u"ana, Ana y ANA: CANCIÓN"_s << u"Ana, Ana y Ana: Canción"_s;
        QTest::newRow("longest source first, if it ends a word") << york << u"nueva york, nueva yorkina"_s << u"Nueva York, X yorkina"_s;
        QTest::newRow("empty replacement deletes whole words") << QStringList{u"eh"_s, QString()} << u"eh, vale eh ehm"_s << u", vale  ehm"_s;
        QTest::newRow("decomposed source, either text") << QStringList{u"cafe\u0301"_s, u"Café"_s} << u"café o CAFE\u0301"_s << u"Café o Café"_s;
        QTest::newRow("composed source, decomposed text") << QStringList{u"caf\u00e9"_s, u"Café"_s} << u"un cafe\u0301 solo"_s << u"un Café solo"_s;
        QTest::newRow("beside a character outside the basic plane") << ana << u"😀ana y 𝐚ana, ana😀"_s << u"😀Ana y 𝐚ana, Ana😀"_s;
    }

    void applying()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        PersonalDictionaryStore store(folder);
        QVERIFY(store.save(entriesFrom(entries), TranscriptionLanguage::spanish).has_value());
        QCOMPARE(store.applying(text, TranscriptionLanguage::spanish), expected);
    }

    // A missing file is an empty dictionary and a lookup does not create it; a malformed one fails
    // every load and is not cached: a repaired file is read by the next transcript (unknown keys
    // ignored). Either way the text passes unchanged.
    void unreadableFileLeavesTheText_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("missing") << false << QByteArray();
        QTest::newRow("empty file, not JSON") << true << QByteArray();
        QTest::newRow("object, not array") << true << QByteArray(R"({"source": "hola", "replacement": "Adiós"})");
        QTest::newRow("replacement missing") << true << QByteArray(R"([{"source": "hola"}])");
        QTest::newRow("source not a string") << true << QByteArray(R"([{"source": 1, "replacement": "Adiós"}])");
    }

    void unreadableFileLeavesTheText()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, content);
        PersonalDictionaryStore store(folder);
        const QString path = store.fileURL(TranscriptionLanguage::spanish);
        if (exists)
            writeFile(path, content);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto loaded = store.entries(TranscriptionLanguage::spanish);
            QCOMPARE(loaded.has_value(), !exists);
            if (exists)
                QCOMPARE(loaded.error().code, int(PersonalDictionaryStore::decodeFailed));
            else
                QVERIFY(loaded->isEmpty());
            QCOMPARE(store.applying(u"hola mundo"_s, TranscriptionLanguage::spanish), u"hola mundo"_s);
        }
        QCOMPARE(QFile::exists(path), exists);
        if (!exists)
            return;
        writeFile(path, R"([{"note": 1, "replacement": "Adiós", "source": "hola"}])");
        QCOMPARE(store.applying(u"hola mundo"_s, TranscriptionLanguage::spanish), u"Adiós mundo"_s);
    }

    // A saved list is sanitised and laid out so that it loads back to the same bytes; an empty list
    // empties the file and the matcher; a failed save keeps the old list in use.
    void saving()
    {
        const auto catalan = TranscriptionLanguage::catalan;
        PersonalDictionaryStore store(folder);
        QVERIFY(store.save({{u" Hola "_s, u"Adiós"_s}, {u"hola"_s, u"Buenas"_s}, {u"pa amb tomaquet"_s, u"pa amb \"tomàquet\""_s}}, catalan).has_value());
        const QString path = folder + u"/ca.json"_s;
        const QByteArray saved = readFile(path);
        QCOMPARE(saved, QByteArray("[\n"
                                   "    {\n"
                                   "        \"replacement\": \"Adiós\",\n"
                                   "        \"source\": \"Hola\"\n"
                                   "    },\n"
                                   "    {\n"
                                   "        \"replacement\": \"pa amb \\\"tomàquet\\\"\",\n"
                                   "        \"source\": \"pa amb tomaquet\"\n"
                                   "    }\n"
                                   "]\n"));
        PersonalDictionaryStore reopened(folder);
        const auto loaded = reopened.entries(catalan);
        QVERIFY(loaded.has_value());
        QVERIFY(reopened.save(*loaded, catalan).has_value());
        QCOMPARE(readFile(path), saved);

        QVERIFY(store.save({{u"   "_s, u"Ana"_s}}, catalan).has_value());
        QCOMPARE(readFile(path), QByteArray("[\n]\n"));
        QCOMPARE(store.applying(u"hola"_s, catalan), u"hola"_s);
        QCOMPARE(store.entries(catalan).value(), Entries());

        // A folder where the file belongs cannot be replaced by the new file.
        QVERIFY(store.save({{u"ana"_s, u"Ana"_s}}, catalan).has_value());
        QVERIFY(QFile::remove(path) && QDir().mkpath(path));
        const auto failed = store.save({{u"ana"_s, u"Anna"_s}}, catalan);
        QVERIFY(!failed.has_value());
        QCOMPARE(failed.error().code, int(PersonalDictionaryStore::writeFailed));
        QCOMPARE(store.applying(u"ana"_s, catalan), u"Ana"_s);
        QCOMPARE(pairsOf(store.entries(catalan).value()), (QStringList{u"ana"_s, u"Ana"_s}));

        writeFile(home->path() + u"/file"_s, "x");
        const auto blocked = PersonalDictionaryStore(home->path() + u"/file/Dictionaries"_s).save({{u"ana"_s, u"Ana"_s}}, catalan);
        QVERIFY(!blocked.has_value());
        QCOMPARE(blocked.error().code, int(PersonalDictionaryStore::folderNotCreated));
    }

private:
    std::optional<QTemporaryDir> home;
    QString folder;
};

QTEST_GUILESS_MAIN(DictionaryTest)
#include "DictionaryTest.moc"
