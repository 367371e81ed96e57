#pragma once

#include "PersonalDictionaryEntry.h"
#include "TranscriptionLanguage.h"
#include "support/Error.h"

#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QTableWidget;
class QTableWidgetItem;

// The "Diccionario de …" window, where the user edits the substitution list of one transcription
// language: a two-column table (what the recogniser writes, what it is to become) filtered by a
// search field, buttons to add and remove rows, and Guardar / Cancelar.
//
// The window edits its own copy of the list. Guardar (or Return outside a cell editor) trims the
// texts, drops rows without a source and refuses sources that share a key; the cleaned list goes
// to onSave, and only a successful save closes the window. A refusal or a failed save shows a
// window-modal alert and keeps every edit. Cancelar, Escape and the window's close button discard
// the edits. onClose runs exactly once, when the window has been hidden; the owner deletes the
// window later (deleteLater), never from inside onClose.
class PersonalDictionaryController final : public QWidget {
    Q_OBJECT
public:
    using SaveHandler = std::function<Expected<void>(const QList<PersonalDictionaryEntry> &)>;
    using CloseHandler = std::function<void()>;

    // The table's columns; each header item carries its identifier ("dictionarySource",
    // "dictionaryReplacement") as Qt::UserRole data.
    enum Column { sourceColumn = 0, replacementColumn = 1 };

    PersonalDictionaryController(TranscriptionLanguage language, QList<PersonalDictionaryEntry> entries,
                                 SaveHandler onSave, CloseHandler onClose, QWidget *parent = nullptr);

    // Shows the window (centred on its screen the first time), brings it to the front and
    // activates it. Does nothing once finished.
    void present();

    // Shows the entries that match the search field and updates the count; clears the selection.
    void refreshFilter();
    // Appends an empty entry, clearing the search, and opens its first cell for editing.
    void addEntry();
    // Removes the entries of the selected rows.
    void removeSelectedEntries();
    // Validates and hands the cleaned list to onSave; closes the window when it succeeds.
    void save();
    // Hides the window and tells the owner, the first time only. Unsaved edits are discarded.
    void finish();
    // A warning with `title` as its text and `message` below it, window-modal on the editor. It
    // opens without blocking; validationAlert() returns it while it is open.
    void showValidationAlert(const QString &title, const QString &message);

    TranscriptionLanguage language() const { return language_; }
    QTableWidget *tableView() const { return tableView_; }
    QLineEdit *searchField() const { return searchField_; }
    QLabel *countLabel() const { return countLabel_; }
    QPushButton *removeButton() const { return removeButton_; }
    const QList<PersonalDictionaryEntry> &entries() const { return entries_; }
    // Indexes into entries() of the rows shown, ascending.
    const QList<qsizetype> &visibleEntryIndexes() const { return visibleEntryIndexes_; }
    bool hasFinished() const { return hasFinished_; }
    QMessageBox *validationAlert() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildInterface();
    void commitEditing();
    void onCellChanged(QTableWidgetItem *item);

    TranscriptionLanguage language_;
    QList<PersonalDictionaryEntry> entries_;
    QList<qsizetype> visibleEntryIndexes_;
    SaveHandler onSave;
    CloseHandler onClose;
    QTableWidget *tableView_ = nullptr;
    QLineEdit *searchField_ = nullptr;
    QLabel *countLabel_ = nullptr;
    QPushButton *removeButton_ = nullptr;
    QPointer<QMessageBox> validationAlert_;
    bool hasFinished_ = false;
    bool hasBeenPlaced = false;
};
