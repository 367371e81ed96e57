#include "PersonalDictionaryController.h"

#include "panels/PanelWindow.h"
#include "PersonalDictionaryStore.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGlyphRun>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSignalBlocker>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTextLayout>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <utility>

namespace {

// Window geometry, in device-independent pixels.
constexpr QSize contentSize{720, 520};
constexpr QSize minimumContentSize{590, 390};
constexpr int headerFontPixels = 16;
constexpr int searchFieldMinimumWidth = 320;
constexpr int countLabelWidth = 155;
constexpr int tableMinimumHeight = 245;
constexpr int rowHeight = 30;
constexpr int columnMinimumWidth = 210;
// Where a cell's text starts and ends, in its painting and in its editor alike.
constexpr int cellHorizontalInset = 7;
constexpr int alertMinimumWidth = 380;

struct ColumnTexts {
    const char *identifier;
    const char16_t *title;
    const char16_t *placeholder;
};
constexpr std::array<ColumnTexts, 2> columns{{
    {"dictionarySource", u"La aplicación interpreta", u"Lo que la aplicación entiende"},
    {"dictionaryReplacement", u"Sustituir por", u"Cómo debe quedar"},
}};

QString placeholderOf(int column)
{
    return column >= 0 && column < int(columns.size()) ? QString::fromUtf16(columns[column].placeholder) : QString();
}

// The text without letter case and diacritics, trimmed: decomposed, its combining marks dropped,
// lower-cased with the language's locale. "Niño" and "nino" fold alike.
QString foldedForSearch(const QString &text, const QLocale &locale)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString bare;
    bare.reserve(decomposed.size());
    for (const QChar character : decomposed) {
        switch (character.category()) {
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
            break;
        default:
            bare.append(character);
        }
    }
    return locale.toLower(bare).trimmed();
}

// Text that explains rather than states: the palette's placeholder colour.
void useSecondaryColour(QWidget *widget)
{
    QPalette palette = widget->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::WindowText, palette.color(group, QPalette::PlaceholderText));
    widget->setPalette(palette);
}

// Whether the font, with the fallbacks the text layout picks, has a glyph for every character.
bool rendersEveryCharacter(const QString &text, const QFont &font)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    return std::ranges::none_of(runs, [](const QGlyphRun &run) { return run.glyphIndexes().contains(0u); });
}

// A button whose label starts with a typographic sign ("＋", "−"). Where no installed font has the
// sign, the label is drawn with its plain ASCII counterpart rather than a missing-glyph box; the
// text itself stays as given.
class SignButton final : public QPushButton {
public:
    SignButton(const QString &text, QWidget *parent) : QPushButton(text, parent) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        if (!rendersEveryCharacter(option.text, font()))
            option.text.replace(QChar(0xFF0B), QLatin1Char('+')).replace(QChar(0x2212), QLatin1Char('-'));
        painter.drawControl(QStyle::CE_PushButton, option);
    }
};

// The column titles start where the cells' texts start.
class ColumnHeaderStyle final : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        if (metric == PM_HeaderMargin)
            return cellHorizontalInset;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

// Paints a cell's text inset and elided at the end, or the column's placeholder in the secondary
// colour when the cell is empty; its editor is a frameless line edit over the whole cell with the
// same inset and placeholder, so that the text does not move when editing starts.
class EntryCellDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        const QString text = cell.text;
        // The style draws the background, selection and focus; the text is drawn here.
        cell.text.clear();
        const QWidget *view = cell.widget;
        QStyle *style = view ? view->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, view);

        const QPalette::ColorGroup group = !(cell.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (cell.state & QStyle::State_Active) ? QPalette::Active
                                                                                 : QPalette::Inactive;
        const bool selected = cell.state & QStyle::State_Selected;
        QColor colour = cell.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
        QString shown = text;
        if (text.isEmpty()) {
            shown = placeholderOf(index.column());
            if (selected)
                colour.setAlphaF(0.65f);
            else
                colour = cell.palette.color(group, QPalette::PlaceholderText);
        }
        const QRect area = cell.rect.adjusted(cellHorizontalInset, 0, -cellHorizontalInset, 0);
        painter->save();
        painter->setPen(colour);
        painter->setFont(cell.font);
        painter->drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          cell.fontMetrics.elidedText(shown, Qt::ElideRight, area.width()));
        painter->restore();
    }

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto *field = qobject_cast<QLineEdit *>(editor)) {
            field->setPlaceholderText(placeholderOf(index.column()));
            // A frameless line edit keeps a margin of its own; together they make the cell's inset.
            constexpr int lineEditMargin = 2;
            field->setTextMargins(cellHorizontalInset - lineEditMargin, 0, cellHorizontalInset - lineEditMargin, 0);
        }
        return editor;
    }

    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        editor->setGeometry(option.rect);
    }
};

} // namespace

PersonalDictionaryController::PersonalDictionaryController(TranscriptionLanguage language,
                                                           QList<PersonalDictionaryEntry> entries, SaveHandler onSave,
                                                           CloseHandler onClose, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      language_(language),
      entries_(std::move(entries)),
      onSave(std::move(onSave)),
      onClose(std::move(onClose))
{
    setWindowTitle(QStringLiteral("Diccionario de ") + displayName(language_));
    buildInterface();
    refreshFilter();
}

void PersonalDictionaryController::buildInterface()
{
    auto *header = new QLabel(QStringLiteral("Sustituciones automáticas · ") + displayName(language_), this);
    QFont headerFont = header->font();
    headerFont.setPixelSize(headerFontPixels);
    headerFont.setWeight(QFont::DemiBold);
    header->setFont(headerFont);

    auto *explanation = new QLabel(QStringLiteral("Añade exactamente el texto que la aplicación suele interpretar y el "
                                                  "texto correcto. Se sustituye al terminar el dictado; no cambia ni "
                                                  "ralentiza el reconocimiento."),
                                   this);
    explanation->setWordWrap(true);
    useSecondaryColour(explanation);

    searchField_ = new QLineEdit(this);
    searchField_->setPlaceholderText(QStringLiteral("Buscar palabras o sustituciones"));
    searchField_->setClearButtonEnabled(true);
    if (const QIcon magnifier = QIcon::fromTheme(QStringLiteral("edit-find")); !magnifier.isNull())
        searchField_->addAction(magnifier, QLineEdit::LeadingPosition);
    searchField_->setMinimumWidth(searchFieldMinimumWidth);
    connect(searchField_, &QLineEdit::textChanged, this, &PersonalDictionaryController::refreshFilter);

    countLabel_ = new QLabel(this);
    countLabel_->setFixedWidth(countLabelWidth);
    countLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    useSecondaryColour(countLabel_);

    auto *searchRow = new QHBoxLayout;
    searchRow->setSpacing(12);
    searchRow->addWidget(searchField_, 1, Qt::AlignVCenter);
    searchRow->addWidget(countLabel_, 0, Qt::AlignVCenter);

    tableView_ = new QTableWidget(0, int(columns.size()), this);
    for (int column = 0; column < int(columns.size()); ++column) {
        auto *title = new QTableWidgetItem(QString::fromUtf16(columns[column].title));
        title->setData(Qt::UserRole, QString::fromLatin1(columns[column].identifier));
        title->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        tableView_->setHorizontalHeaderItem(column, title);
    }
    tableView_->setItemDelegate(new EntryCellDelegate(tableView_));
    tableView_->setAlternatingRowColors(true);
    tableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tableView_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                                QAbstractItemView::EditKeyPressed);
    tableView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    tableView_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    tableView_->setShowGrid(false);
    tableView_->setMinimumHeight(tableMinimumHeight);
    tableView_->verticalHeader()->hide();
    tableView_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    tableView_->verticalHeader()->setDefaultSectionSize(rowHeight);
    QHeaderView *columnHeader = tableView_->horizontalHeader();
    columnHeader->setMinimumSectionSize(columnMinimumWidth);
    columnHeader->setSectionResizeMode(QHeaderView::Stretch);
    columnHeader->setHighlightSections(false);
    columnHeader->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    auto *headerStyle = new ColumnHeaderStyle;
    headerStyle->setParent(columnHeader);
    columnHeader->setStyle(headerStyle);
    connect(tableView_, &QTableWidget::itemChanged, this, &PersonalDictionaryController::onCellChanged);
    connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { removeButton_->setEnabled(tableView_->selectionModel()->hasSelection()); });

    auto *addButton = new SignButton(QStringLiteral("＋ Añadir"), this);
    removeButton_ = new SignButton(QStringLiteral("− Eliminar"), this);
    removeButton_->setEnabled(false);
    auto *cancelButton = new QPushButton(QStringLiteral("Cancelar"), this);
    auto *saveButton = new QPushButton(QStringLiteral("Guardar"), this);
    // Drawn as the default button; Return reaches it through keyPressEvent.
    saveButton->setDefault(true);
    connect(addButton, &QPushButton::clicked, this, &PersonalDictionaryController::addEntry);
    connect(removeButton_, &QPushButton::clicked, this, &PersonalDictionaryController::removeSelectedEntries);
    connect(cancelButton, &QPushButton::clicked, this, &PersonalDictionaryController::finish);
    connect(saveButton, &QPushButton::clicked, this, &PersonalDictionaryController::save);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addWidget(addButton);
    buttons->addWidget(removeButton_);
    buttons->addSpacerItem(new QSpacerItem(20, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));
    buttons->addWidget(cancelButton);
    buttons->addWidget(saveButton);

    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(20, 20, 20, 18);
    stack->setSpacing(12);
    stack->addWidget(header);
    stack->addWidget(explanation);
    stack->addLayout(searchRow);
    stack->addWidget(tableView_, 1);
    stack->addLayout(buttons);

    setMinimumSize(minimumContentSize.expandedTo(stack->totalMinimumSize()));
    resize(contentSize.expandedTo(minimumSize()));
}

void PersonalDictionaryController::present()
{
    if (hasFinished_)
        return;
    PanelWindow::present(*this, hasBeenPlaced);
}

void PersonalDictionaryController::refreshFilter()
{
    const QLocale locale = transcriptionLocale(language_);
    const QString query = foldedForSearch(searchField_->text(), locale);
    visibleEntryIndexes_.clear();
    for (qsizetype index = 0; index < entries_.size(); ++index) {
        const PersonalDictionaryEntry &entry = entries_[index];
        if (query.isEmpty() ||
            foldedForSearch(entry.source + QLatin1Char(' ') + entry.replacement, locale).contains(query))
            visibleEntryIndexes_.append(index);
    }
    countLabel_->setText(query.isEmpty()
                             ? QString::number(entries_.size()) + QStringLiteral(" entradas")
                             : QString::number(visibleEntryIndexes_.size()) + QStringLiteral(" de ") +
                                   QString::number(entries_.size()));

    {
        // Filling the table is no edit of the entries.
        const QSignalBlocker blocker(tableView_);
        tableView_->setRowCount(0);
        tableView_->setRowCount(int(visibleEntryIndexes_.size()));
        for (int row = 0; row < int(visibleEntryIndexes_.size()); ++row) {
            const PersonalDictionaryEntry &entry = entries_[visibleEntryIndexes_[row]];
            tableView_->setItem(row, sourceColumn, new QTableWidgetItem(entry.source));
            tableView_->setItem(row, replacementColumn, new QTableWidgetItem(entry.replacement));
        }
    }
    tableView_->clearSelection();
    removeButton_->setEnabled(false);
}

void PersonalDictionaryController::onCellChanged(QTableWidgetItem *item)
{
    const int row = item->row();
    if (row < 0 || row >= visibleEntryIndexes_.size())
        return;
    PersonalDictionaryEntry &entry = entries_[visibleEntryIndexes_[row]];
    // Stored as typed; saving trims.
    if (item->column() == sourceColumn)
        entry.source = item->text();
    else if (item->column() == replacementColumn)
        entry.replacement = item->text();
}

void PersonalDictionaryController::commitEditing()
{
    QWidget *editor = tableView_->indexWidget(tableView_->currentIndex());
    if (!editor)
        return;
    QAbstractItemDelegate *delegate = tableView_->itemDelegate();
    emit delegate->commitData(editor);
    emit delegate->closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void PersonalDictionaryController::addEntry()
{
    commitEditing();
    searchField_->clear();
    entries_.append(PersonalDictionaryEntry{});
    refreshFilter();

    const QModelIndex cell = tableView_->model()->index(tableView_->rowCount() - 1, sourceColumn);
    tableView_->setCurrentIndex(cell);
    tableView_->selectRow(cell.row());
    tableView_->scrollTo(cell);
    tableView_->edit(cell);
    if (auto *field = qobject_cast<QLineEdit *>(tableView_->indexWidget(cell)))
        field->selectAll();
}

void PersonalDictionaryController::removeSelectedEntries()
{
    commitEditing();
    QList<qsizetype> doomed;
    for (const QModelIndex &row : tableView_->selectionModel()->selectedRows())
        if (row.row() < visibleEntryIndexes_.size())
            doomed.append(visibleEntryIndexes_[row.row()]);
    std::sort(doomed.begin(), doomed.end(), std::greater<>());
    for (const qsizetype index : doomed)
        entries_.removeAt(index);
    refreshFilter();
}

void PersonalDictionaryController::save()
{
    commitEditing();

    QList<PersonalDictionaryEntry> cleaned;
    cleaned.reserve(entries_.size());
    for (const PersonalDictionaryEntry &entry : std::as_const(entries_)) {
        PersonalDictionaryEntry trimmed{entry.source.trimmed(), entry.replacement.trimmed()};
        if (!trimmed.source.isEmpty())
            cleaned.append(std::move(trimmed));
    }

    const QLocale locale = transcriptionLocale(language_);
    QSet<QString> keys;
    for (const PersonalDictionaryEntry &entry : std::as_const(cleaned)) {
        const QString key = PersonalDictionaryStore::normalizedKey(entry.source, locale);
        if (keys.contains(key)) {
            showValidationAlert(QStringLiteral("Entrada duplicada"),
                                QStringLiteral("“") + entry.source +
                                    QStringLiteral("” aparece más de una vez. Deja una sola sustitución."));
            return;
        }
        keys.insert(key);
    }

    if (onSave) {
        const Expected<void> saved = onSave(cleaned);
        if (!saved) {
            showValidationAlert(QStringLiteral("No se pudo guardar el diccionario"), saved.error().description);
            return;
        }
    }
    finish();
}

void PersonalDictionaryController::finish()
{
    if (hasFinished_)
        return;
    hasFinished_ = true;
    if (validationAlert_)
        validationAlert_->close();
    hide();
    // Taken out first: the owner may schedule the window's deletion from the handler.
    const CloseHandler handler = std::exchange(onClose, nullptr);
    if (handler)
        handler();
}

void PersonalDictionaryController::showValidationAlert(const QString &title, const QString &message)
{
    if (validationAlert_)
        validationAlert_->close();
    auto *alert = new QMessageBox(QMessageBox::Warning, windowTitle(), title, QMessageBox::NoButton, this);
    alert->setInformativeText(message);
    alert->setDefaultButton(alert->addButton(QStringLiteral("Aceptar"), QMessageBox::AcceptRole));
    // The informative text wraps to the box's narrowest width otherwise: a sentence per line.
    if (auto *grid = qobject_cast<QGridLayout *>(alert->layout()))
        grid->addItem(new QSpacerItem(alertMinimumWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(),
                      0, 1, grid->columnCount());
    alert->setWindowModality(Qt::WindowModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    validationAlert_ = alert;
    alert->open();
}

QMessageBox *PersonalDictionaryController::validationAlert() const
{
    return validationAlert_;
}

void PersonalDictionaryController::keyPressEvent(QKeyEvent *event)
{
    // Keys reach the window when the focused widget leaves them: an open cell editor takes Escape
    // (reverting the cell) and Return (committing it) for itself.
    switch (PanelWindow::keyOf(*event)) {
    case PanelWindow::Key::cancel: finish(); return;
    case PanelWindow::Key::accept: save(); return;
    case PanelWindow::Key::other: break;
    }
    QWidget::keyPressEvent(event);
}

void PersonalDictionaryController::closeEvent(QCloseEvent *event)
{
    finish();
    QWidget::closeEvent(event);
}
