// The dictionary editor window, driven through its widgets: the search filter and its count,
// editing, adding and removing rows, what Guardar hands over or refuses, the ways the window
// closes, and the edit shortcuts of its text fields.

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
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

using Entries = QList<PersonalDictionaryEntry>;

// Lists are given as source, replacement, source, replacement, …
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

const QStringList fiveEntries{u"Niño"_s, u"chico"_s, u"hola"_s, u"adiós"_s, u"casa"_s,
                              u"hogar"_s, u"perro"_s, u"can"_s, u"mesa"_s, u"tabla"_s};

} // namespace

class DictionaryEditorTest : public QObject {
    Q_OBJECT

    std::unique_ptr<PersonalDictionaryController> editor;
    std::vector<Entries> saves;
    int closes = 0;
    Expected<void> saveResult;

    void open(const QStringList &pairs)
    {
        saves.clear();
        closes = 0;
        saveResult = {};
        editor = std::make_unique<PersonalDictionaryController>(
            TranscriptionLanguage::spanish, entriesFrom(pairs),
            [this](const Entries &list) {
                saves.push_back(list);
                return saveResult;
            },
            [this] { ++closes; });
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
        QTest::newRow("blank") << u"  "_s << QStringList{u"Niño"_s, u"hola"_s, u"casa"_s, u"perro"_s, u"mesa"_s} << u"5 entradas"_s;
        QTest::newRow("without accent or case") << u"nino"_s << QStringList{u"Niño"_s} << u"1 de 5"_s;
        QTest::newRow("accented, upper case, padded") << u" NIÑO "_s << QStringList{u"Niño"_s} << u"1 de 5"_s;
        QTest::newRow("across both texts") << u"casa hog"_s << QStringList{u"casa"_s} << u"1 de 5"_s;
        QTest::newRow("replacements, in list order") << u"ca"_s << QStringList{u"casa"_s, u"perro"_s} << u"2 de 5"_s;
        QTest::newRow("nothing") << u"gato"_s << QStringList() << u"0 de 5"_s;
    }

    void filter()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, shown);
        QFETCH(QString, count);
        open(fiveEntries);
        QTest::keyClicks(editor->searchField(), query);

        QStringList sources;
        for (int row = 0; row < table()->rowCount(); ++row)
            sources << table()->item(row, 0)->text();
        QCOMPARE(sources, shown);
        QCOMPARE(editor->countLabel()->text(), count);
    }

    void save_data()
    {
        QTest::addColumn<QStringList>("pairs");
        QTest::addColumn<QStringList>("saved");
        QTest::addColumn<QString>("duplicate"); // the source the alert names; empty for none
        QTest::newRow("blank rows dropped, texts trimmed")
            << QStringList{u"  hola "_s, u" Hola, ¿qué tal? "_s, u"   "_s, u"  "_s, u" \t"_s, u"algo"_s, u"vale"_s, QString()}
            << QStringList{u"hola"_s, u"Hola, ¿qué tal?"_s, u"vale"_s, QString()} << QString();
        QTest::newRow("case duplicate named as typed, trimmed")
            << QStringList{u"Hola"_s, u"a"_s, u"adiós"_s, u"b"_s, u"  hola "_s, u"c"_s} << QStringList() << u"hola"_s;
    }

    void save()
    {
        QFETCH(QStringList, pairs);
        QFETCH(QStringList, saved);
        QFETCH(QString, duplicate);
        open(pairs);
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton);

        if (duplicate.isEmpty()) {
            QCOMPARE(saves.size(), 1u);
            QCOMPARE(pairsOf(saves.front()), saved);
            QVERIFY(!editor->validationAlert());
            QCOMPARE(closes, 1);
            QVERIFY(!editor->isVisible());
            return;
        }
        verifyAlert(u"Entrada duplicada"_s, u"“"_s + duplicate + u"” aparece más de una vez. Deja una sola sustitución."_s);
        QVERIFY(saves.empty());
        QCOMPARE(pairsOf(editor->entries()), pairs); // the user's edits, untouched
    }

    void failedSaveKeepsTheWindow()
    {
        open({u"hola"_s, u"adiós"_s});
        saveResult = std::unexpected(Error{u"MurmexDictionary"_s, 4, u"No se pudo escribir «es.json»."_s});
        QVERIFY(openCell(0, 1));
        QCOMPARE(cellEditor()->selectedText(), u"adiós"_s);
        QTest::keyClick(cellEditor(), Qt::Key_End);
        QTest::keyClicks(cellEditor(), u" y"_s);
        QTest::mouseClick(button(u"Guardar"_s), Qt::LeftButton); // commits the open cell first

        QCOMPARE(saves.size(), 1u);
        QCOMPARE(pairsOf(saves.front()), (QStringList{u"hola"_s, u"adiós y"_s}));
        verifyAlert(u"No se pudo guardar el diccionario"_s, u"No se pudo escribir «es.json»."_s);

        const QPointer<QMessageBox> alert = editor->validationAlert();
        QVERIFY(alert);
        QTest::mouseClick(alert->buttons().front(), Qt::LeftButton);
        QTRY_VERIFY(!alert);
        saveResult = {};
        QTest::keyClick(editor->searchField(), Qt::Key_Return);
        QCOMPARE(saves.size(), 2u);
        QCOMPARE(closes, 1);
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
        QVERIFY(saves.empty());
        QVERIFY(editor->isVisible());
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
        QTest::newRow("Cancelar") << u"Cancelar"_s;
        QTest::newRow("Escape in the search field") << u"Escape"_s;
        QTest::newRow("close button") << u"close"_s;
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
        else if (way == u"Escape")
            QTest::keyClick(editor->searchField(), Qt::Key_Escape);
        else
            editor->close();

        QVERIFY(!editor->isVisible());
        editor->finish();
        editor->close();
        editor->present();
        QVERIFY(!editor->isVisible());
        QCOMPARE(closes, 1);
        QVERIFY(saves.empty());
    }

    void editShortcuts_data()
    {
        QTest::addColumn<bool>("inCell");
        QTest::newRow("search field") << false;
        QTest::newRow("cell editor") << true;
    }

    void editShortcuts()
    {
        QFETCH(bool, inCell);
        open({u"hola"_s, u"adiós"_s});
        QLineEdit *field = editor->searchField();
        if (inCell)
            QVERIFY(field = openCell(0, 1)); // its text selected: typing replaces it
        QTest::keyClicks(field, u"dos palabras"_s);
        QClipboard *clipboard = QGuiApplication::clipboard();
        clipboard->setText(u"antes"_s);

        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(field->selectedText(), u"dos palabras"_s);
        QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(clipboard->text(), u"antes"_s);
        QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), u"dos palabras"_s);
        QTest::keyClicks(field, u"x"_s);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), u"x"_s);
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field->text(), u"xx"_s);
        QVERIFY(editor->isVisible());
    }
};

QTEST_MAIN(DictionaryEditorTest)
#include "DictionaryEditorTest.moc"
