// The dictionary editor window, driven through its widgets: the filter and its count, editing,
// adding and removing rows, what Guardar hands over or refuses, closing, and the edit shortcuts.

#include "dictionary/PersonalDictionaryController.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

using Entries = QList<PersonalDictionaryEntry>;

// Lists are given as source, replacement, source, replacement, …
QStringList pairsOf(const Entries &list)
{
    QStringList pairs;
    for (const PersonalDictionaryEntry &entry : list)
        pairs << entry.source << entry.replacement;
    return pairs;
}

const QStringList fiveEntries{"Niño", "chico", "hola", "adiós", "casa", "hogar", "perro", "can", "mesa", "tabla"};

} // namespace

class DictionaryEditorTest : public QObject {
    Q_OBJECT

    std::unique_ptr<PersonalDictionaryController> editor;
    QList<QStringList> saves; // each list handed over, as pairs
    int closes = 0;
    Expected<void> saveResult;

    void open(const QStringList &pairs)
    {
        Entries list;
        for (qsizetype index = 0; index + 1 < pairs.size(); index += 2)
            list.append({pairs[index], pairs[index + 1]});
        saves.clear();
        closes = 0;
        saveResult = {};
        const auto onSave = [this](const Entries &list) { saves.append(pairsOf(list)); return saveResult; };
        editor = std::make_unique<PersonalDictionaryController>(TranscriptionLanguage::spanish, list, onSave, [this] { ++closes; });
        editor->present();
    }

    QPushButton *button(const QString &text) const
    {
        for (QPushButton *candidate : editor->findChildren<QPushButton *>())
            if (candidate->text() == text)
                return candidate;
        return nullptr;
    }

    QTableWidget *table() const { return editor->tableView(); }
    QLineEdit *cellEditor() const { return qobject_cast<QLineEdit *>(table()->indexWidget(table()->currentIndex())); }
    QPoint cellCentre(int row, int column) const { return table()->visualRect(table()->model()->index(row, column)).center(); }

    // Opens the cell with a double click; QTest's double click is the second click's event alone.
    QLineEdit *openCell(int row, int column)
    {
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cellCentre(row, column));
        QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, cellCentre(row, column));
        return QTest::qWaitFor([this] { return cellEditor() != nullptr; }) ? cellEditor() : nullptr;
    }

    // The alert open on the editor, which stays open: its texts, one "Aceptar" button, window-modal.
    void verifyAlert(const QString &title, const QString &message)
    {
        QMessageBox *alert = editor->validationAlert();
        QVERIFY(alert);
        QCOMPARE(alert->text(), title);
        QCOMPARE(alert->informativeText(), message);
        QCOMPARE(alert->windowModality(), Qt::WindowModal);
        QCOMPARE(alert->buttons().size(), 1);
        QCOMPARE(alert->buttons().front()->text(), u"Aceptar"_s);
        QVERIFY(editor->isVisible());
        QCOMPARE(closes, 0);
    }

private slots:
    void cleanup() { editor.reset(); }

    void filter_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("count");
        QTest::newRow("blank") << "  " << QStringList{"Niño", "hola", "casa", "perro", "mesa"} << "5 entradas";
        QTest::newRow("without accent or case") << "nino" << QStringList{"Niño"} << "1 de 5";
        QTest::newRow("accented, upper case, padded") << " NIÑO " << QStringList{"Niño"} << "1 de 5";
        QTest::newRow("across both texts") << "casa hog" << QStringList{"casa"} << "1 de 5";
        QTest::newRow("replacements, in list order") << "ca" << QStringList{"casa", "perro"} << "2 de 5";
    }

    void filter()
    {
        QFETCH(QString, query);
        open(fiveEntries);
        QTest::keyClicks(editor->searchField(), query);
        QStringList sources;
        for (int row = 0; row < table()->rowCount(); ++row)
            sources << table()->item(row, 0)->text();
        QTEST(sources, "shown");
        QTEST(editor->countLabel()->text(), "count");
    }

    // Guardar hands over the cleaned list and closes; a refusal or failed write alerts and keeps every edit,
    // and Return in the search field tries again.
    void save_data()
    {
        QTest::addColumn<QStringList>("pairs");
        QTest::addColumn<QStringList>("saved"); // handed over by Guardar, when it gets that far
        QTest::addColumn<QStringList>("alert"); // title and message; empty for none
        QTest::newRow("blank rows dropped, texts trimmed")
            << QStringList{"  hola ", " Hola, ¿qué tal? ", "   ", "  ", " \t", "algo", "vale", ""} << QStringList{"hola", "Hola, ¿qué tal?", "vale", ""}
            << QStringList();
        QTest::newRow("case duplicate named as typed, trimmed") << QStringList{"Hola", "a", "adiós", "b", "  hola ", "c"} << QStringList()
                                                                << QStringList{"Entrada duplicada", "“hola” aparece más de una vez. Deja una sola sustitución."};
        QTest::newRow("failed write") << QStringList{"hola", "adiós"} << QStringList{"hola", "adiós"}
                                      << QStringList{"No se pudo guardar el diccionario", "No se pudo escribir «es.json»."};
    }

    void save()
    {
        QFETCH(QStringList, pairs);
        QFETCH(QStringList, saved);
        QFETCH(QStringList, alert);
        open(pairs);
        if (!alert.isEmpty() && !saved.isEmpty())
            saveResult = std::unexpected(Error{u"MurmexDictionary"_s, 4, alert.last()});
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);

        QCOMPARE(saves, saved.isEmpty() ? QList<QStringList>() : QList<QStringList>{saved});
        if (alert.isEmpty()) {
            QVERIFY(!editor->validationAlert());
            QCOMPARE(closes, 1);
            QVERIFY(!editor->isVisible());
            return;
        }
        verifyAlert(alert.first(), alert.last());
        QCOMPARE(pairsOf(editor->entries()), pairs);

        const QPointer<QMessageBox> shown = editor->validationAlert();
        QTest::mouseClick(shown->buttons().front(), Qt::LeftButton);
        QTRY_VERIFY(!shown);
        saveResult = {};
        QTest::keyClick(editor->searchField(), Qt::Key_Return);
        QCOMPARE(closes, saved.isEmpty() ? 0 : 1);
        QCOMPARE(saves.size(), saved.isEmpty() ? 0 : 2);
    }

    void addWhileFiltered()
    {
        open(fiveEntries);
        QTest::keyClicks(editor->searchField(), u"perro"_s);
        QTest::mouseClick(button(u"＋ Añadir"_s), Qt::LeftButton);

        QCOMPARE(editor->searchField()->text(), QString());
        QCOMPARE(editor->countLabel()->text(), u"6 entradas"_s);
        QCOMPARE(table()->currentIndex(), table()->model()->index(5, 0));
        QCOMPARE(table()->selectionModel()->selectedRows().size(), 1);
        QVERIFY(cellEditor());
        QCOMPARE(cellEditor()->placeholderText(), u"Lo que la aplicación entiende"_s);
        QTest::keyClicks(cellEditor(), u"gato "_s);
        QTest::keyClick(cellEditor(), Qt::Key_Return); // commits the cell, does not save
        QTRY_VERIFY(!cellEditor());
        QCOMPARE(editor->entries().last(), (PersonalDictionaryEntry{u"gato "_s, QString()}));
        QVERIFY(saves.isEmpty() && editor->isVisible());

        QVERIFY(openCell(5, 1));
        QTest::keyClicks(cellEditor(), u"cat"_s);
        button(u"Guardar"_s)->click(); // with the cell still focused: Guardar commits it first
        QCOMPARE(saves, (QList<QStringList>{fiveEntries + QStringList{"gato", "cat"}}));
    }

    void removeInFilteredView()
    {
        open(fiveEntries);
        QTest::keyClicks(editor->searchField(), u"a"_s); // hola, casa, perro, mesa
        QCOMPARE(editor->visibleEntryIndexes(), (QList<qsizetype>{1, 2, 3, 4}));
        QVERIFY(!editor->removeButton()->isEnabled());
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cellCentre(0, 0));
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, Qt::ControlModifier, cellCentre(2, 1));
        QVERIFY(editor->removeButton()->isEnabled());

        QTest::mouseClick(editor->removeButton(), Qt::LeftButton);
        QCOMPARE(pairsOf(editor->entries()), (QStringList{u"Niño"_s, u"chico"_s, u"casa"_s, u"hogar"_s, u"mesa"_s, u"tabla"_s}));
        QCOMPARE(editor->countLabel()->text(), u"2 de 3"_s);
        QVERIFY(!editor->removeButton()->isEnabled());
    }

    void closingDiscardsEdits_data()
    {
        QTest::addColumn<QString>("way");
        for (const char *way : {"Cancelar", "Escape in the search field", "close button"})
            QTest::newRow(way) << QString::fromUtf8(way);
    }

    void closingDiscardsEdits()
    {
        QFETCH(QString, way);
        open({u"hola"_s, u"adiós"_s});
        QVERIFY(openCell(0, 0));
        QTest::keyClicks(cellEditor(), u"x"_s);
        QTest::keyClick(cellEditor(), Qt::Key_Escape); // reverts the cell only
        QTRY_VERIFY(!cellEditor());
        QCOMPARE(editor->entries().front().source, u"hola"_s);
        QVERIFY(editor->isVisible());
        QVERIFY(openCell(0, 0));
        QTest::keyClicks(cellEditor(), u"adios"_s);
        QTest::keyClick(cellEditor(), Qt::Key_Return);
        QTRY_COMPARE(editor->entries().front().source, u"adios"_s);

        if (way == u"Cancelar")
            QTest::mouseClick(button(way), Qt::LeftButton);
        else if (way.startsWith(u"Escape"))
            QTest::keyClick(editor->searchField(), Qt::Key_Escape);
        else
            editor->close();

        QVERIFY(!editor->isVisible());
        editor->finish();
        editor->close();
        editor->present();
        QVERIFY(!editor->isVisible());
        QCOMPARE(closes, 1);
        QVERIFY(saves.isEmpty());
    }

    void editShortcuts_data()
    {
        QTest::addColumn<bool>("inCell");
        QTest::newRow("search field") << false;
        QTest::newRow("cell editor") << true;
    }

    // Ctrl+A, Ctrl+X, Ctrl+V and Ctrl+C, each of which the final clipboard depends on.
    void editShortcuts()
    {
        QFETCH(bool, inCell);
        open({u"hola"_s, u"adiós"_s});
        QLineEdit *field = editor->searchField();
        if (inCell)
            QVERIFY(field = openCell(0, 1)); // its text selected: typing replaces it
        QClipboard *clipboard = QGuiApplication::clipboard();
        clipboard->setText(u"antes"_s);
        QTest::keyClicks(field, u"dos"_s);
        for (const Qt::Key key : {Qt::Key_A, Qt::Key_X, Qt::Key_V, Qt::Key_V, Qt::Key_A, Qt::Key_C})
            QTest::keyClick(field, key, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), u"dosdos"_s);
        QCOMPARE(field->text(), u"dosdos"_s);
        QVERIFY(editor->isVisible());
    }
};

QTEST_MAIN(DictionaryEditorTest)
#include "DictionaryEditorTest.moc"
