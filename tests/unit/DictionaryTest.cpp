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
constexpr auto spanish = TranscriptionLanguage::spanish, catalan = TranscriptionLanguage::catalan;

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

template <typename T> int errorCode(const Expected<T> &result) { return result ? 0 : result.error().code; }

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class DictionaryTest : public QObject {
    Q_OBJECT

    std::optional<QTemporaryDir> home;
    QString folder;

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
            << QStringList{"  Hola ", "Adiós ", "hola", "Buenas", "   ", "nada", "\tvale\n", " "} << QStringList{"Hola", "Adiós", "vale", ""};
        QTest::newRow("composition and case share a key, the first keeps its letters")
            << QStringList{u"cancio\u0301n"_s, "A", "CANCIÓN", "B", u"canci\u00f3n"_s, "C"} << QStringList{u"cancio\u0301n"_s, "A"};
        QTest::newRow("an accent makes another source")
            << QStringList{"como", "A", "Col·legi", "B", "cómo", "C", "col·legi", "D"} << QStringList{"como", "A", "Col·legi", "B", "cómo", "C"};
    }

    void sanitizing()
    {
        QFETCH(QStringList, input);
        QTEST(pairsOf(PersonalDictionaryStore::sanitized(entriesFrom(input), QLocale(u"es_ES"_s))), "expected");
    }

    void applying_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QStringList ana{"ana", "Ana"};
        QTest::newRow("dots taken literally") << QStringList{"s.a.", "S.A."} << "la s.a. paga, la sxax no" << "la S.A. paga, la sxax no";
        QTest::newRow("not inside words, text kept as it was")
            << ana << u"banana, ana_1, ana2, ñana, anaïs y cafe\u0301"_s << u"banana, ana_1, ana2, ñana, anaïs y cafe\u0301"_s;
        // U+0331 has no precomposed form with these letters, so it stays a mark of its own after NFC.
        QTest::newRow("a combining mark belongs to its word") << ana << u"ana\u0331, la\u0331ana y ana"_s << u"ana\u0331, la\u0331ana y Ana"_s;
        QTest::newRow("no match before a decomposed accent") << QStringList{"pie", "X"} << u"pie\u0301 y pie"_s << "pié y X";
        QTest::newRow("any case, replacement verbatim") << QStringList{"ANA", "Ana", "canción", "Canción"} << "ana, Ana y ANA: CANCIÓN" << "Ana, Ana y Ana: Canción";
        QTest::newRow("longest source first, if it ends a word")
            << QStringList{"nueva", "X", "nueva york", "Nueva York"} << "nueva york, nueva yorkina" << "Nueva York, X yorkina";
        QTest::newRow("empty replacement deletes whole words") << QStringList{"eh", ""} << "eh, vale eh ehm" << ", vale  ehm";
        QTest::newRow("decomposed source, either text") << QStringList{u"cafe\u0301"_s, "Café"} << u"café o CAFE\u0301"_s << "Café o Café";
        QTest::newRow("composed source, decomposed text") << QStringList{u"caf\u00e9"_s, "Café"} << u"un cafe\u0301 solo"_s << "un Café solo";
        QTest::newRow("beside a character outside the basic plane") << ana << "😀ana y 𝐚ana, ana😀" << "😀Ana y 𝐚ana, Ana😀";
    }

    void applying()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, text);
        PersonalDictionaryStore store(folder);
        QCOMPARE(errorCode(store.save(entriesFrom(entries), spanish)), 0);
        QTEST(store.applying(text, spanish), "expected");
    }

    // A missing file is an empty dictionary, not created by a lookup; a malformed one fails every load, uncached,
    // until repaired (unknown keys ignored). Either way the text passes unchanged.
    void unreadableFileLeavesTheText_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("empty file, not JSON") << QByteArray("");
        QTest::newRow("object, not array") << QByteArray(R"({"source": "hola", "replacement": "Adiós"})");
        QTest::newRow("replacement missing") << QByteArray(R"([{"source": "hola"}])");
        QTest::newRow("source not a string") << QByteArray(R"([{"source": 1, "replacement": "Adiós"}])");
    }

    void unreadableFileLeavesTheText()
    {
        QFETCH(QByteArray, content);
        PersonalDictionaryStore store(folder);
        const QString path = store.fileURL(spanish);
        QVERIFY(content.isNull() || writeFile(path, content));
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto loaded = store.entries(spanish);
            QCOMPARE(loaded ? int(loaded->size()) : -loaded.error().code, content.isNull() ? 0 : -int(PersonalDictionaryStore::decodeFailed));
            QCOMPARE(store.applying(u"hola mundo"_s, spanish), u"hola mundo"_s);
        }
        QCOMPARE(QFile::exists(path), !content.isNull());
        if (!content.isNull()) {
            QVERIFY(writeFile(path, R"([{"note": 1, "replacement": "Adiós", "source": "hola"}])"));
            QCOMPARE(store.applying(u"hola mundo"_s, spanish), u"Adiós mundo"_s);
        }
    }

    // Saved lists are sanitised and load back to the same bytes; an empty list empties file and matcher; a failed save keeps the old.
    void saving()
    {
        PersonalDictionaryStore store(folder);
        QCOMPARE(errorCode(store.save({{u" Hola "_s, u"Adiós"_s}, {u"hola"_s, u"Buenas"_s}, {u"pa amb tomaquet"_s, u"pa amb \"tomàquet\""_s}}, catalan)), 0);
        const QString path = folder + u"/ca.json"_s;
        const QByteArray saved = readFile(path);
        QCOMPARE(saved, QByteArray("[\n    {\n        \"replacement\": \"Adiós\",\n        \"source\": \"Hola\"\n    },\n"
                                   "    {\n        \"replacement\": \"pa amb \\\"tomàquet\\\"\",\n        \"source\": \"pa amb tomaquet\"\n    }\n]\n"));
        PersonalDictionaryStore reopened(folder);
        QCOMPARE(errorCode(reopened.save(reopened.entries(catalan).value(), catalan)), 0);
        QCOMPARE(readFile(path), saved);

        QCOMPARE(errorCode(store.save({{u"   "_s, u"Ana"_s}}, catalan)), 0);
        QCOMPARE(readFile(path), QByteArray("[\n]\n"));
        QCOMPARE(store.applying(u"hola"_s, catalan), u"hola"_s);
        QCOMPARE(store.entries(catalan).value(), Entries());

        // A folder where the file belongs cannot be replaced by the new file.
        QCOMPARE(errorCode(store.save({{u"ana"_s, u"Ana"_s}}, catalan)), 0);
        QVERIFY(QFile::remove(path) && QDir().mkpath(path));
        QCOMPARE(errorCode(store.save({{u"ana"_s, u"Anna"_s}}, catalan)), int(PersonalDictionaryStore::writeFailed));
        QCOMPARE(store.applying(u"ana"_s, catalan), u"Ana"_s);
        QCOMPARE(pairsOf(store.entries(catalan).value()), (QStringList{u"ana"_s, u"Ana"_s}));

        QVERIFY(writeFile(home->path() + u"/file"_s, "x"));
        QCOMPARE(errorCode(PersonalDictionaryStore(home->path() + u"/file/Dictionaries"_s).save({{u"ana"_s, u"Ana"_s}}, catalan)),
                 int(PersonalDictionaryStore::folderNotCreated));
    }
};

QTEST_GUILESS_MAIN(DictionaryTest)
#include "DictionaryTest.moc"
