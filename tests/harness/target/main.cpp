// murmex-target [--terminal NAME] [--second-window FILE2] FILE
//
// A window titled "Murmex target" with one focused text field: the application a user dictates
// into, for tests that paste or type into another program. The field's whole text is written to
// FILE whenever it changes, and once (empty) when the field first has the keyboard focus, so that a
// test can wait for that before it sends keys. FILE is replaced atomically: a reader never sees half
// a text. With --second-window the same process also shows a top-level window "Murmex target 2",
// whose field writes to FILE2 the same way (a terminal server or a browser has many windows).
//
// It pastes the clipboard the way ordinary applications do, with Ctrl+V. With --terminal NAME it
// behaves like a terminal emulator instead: its window class is NAME, Ctrl+Shift+V pastes and Ctrl+V
// does nothing. V with any other modifier held (Ctrl+Alt+Super+V) pastes nothing either, as in real
// applications, so a test sees exactly which keys arrived.

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSaveFile>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <memory>

namespace {

class PasteShortcut final : public QObject {
public:
    PasteShortcut(QLineEdit *field, Qt::KeyboardModifiers pasteModifiers)
        : QObject(field)
        , field(field)
        , pasteModifiers(pasteModifiers)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return QObject::eventFilter(watched, event);
        const auto *key = static_cast<QKeyEvent *>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if (key->key() == Qt::Key_V && modifiers != Qt::NoModifier && modifiers != Qt::ShiftModifier) {
            if (modifiers == pasteModifiers)
                field->paste();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QLineEdit *field;
    Qt::KeyboardModifiers pasteModifiers;
};

bool writeText(const QString &path, const QString &text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        std::fprintf(stderr, "murmex-target: cannot write %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    return true;
}

// A top-level window with one text field that writes its text to `path`.
class TargetWindow final : public QWidget {
public:
    TargetWindow(const QString &title, const QString &path, Qt::KeyboardModifiers pasteModifiers)
        : field(new QLineEdit(this))
    {
        setWindowTitle(title);
        field->installEventFilter(new PasteShortcut(field, pasteModifiers));
        (new QVBoxLayout(this))->addWidget(field);
        resize(480, 80);
        connect(field, &QLineEdit::textChanged, this, [path](const QString &text) { writeText(path, text); });
        connect(qApp, &QApplication::focusChanged, this, [this, path](QWidget *, QWidget *now) {
            if (now == field && !announced)
                announced = writeText(path, field->text());
        });
        field->setFocus();
    }

private:
    QLineEdit *field;
    bool announced = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QStringList arguments = QApplication::arguments().mid(1);
    QString terminalName;
    QString secondPath;
    while (arguments.size() > 2 && arguments.at(0).startsWith(QLatin1String("--"))) {
        if (arguments.at(0) == QLatin1String("--terminal"))
            terminalName = arguments.at(1);
        else if (arguments.at(0) == QLatin1String("--second-window"))
            secondPath = arguments.at(1);
        else
            break;
        arguments = arguments.mid(2);
    }
    if (arguments.size() != 1) {
        std::fprintf(stderr, "usage: murmex-target [--terminal NAME] [--second-window FILE2] FILE\n");
        return 2;
    }
    // The X11 window class is the application name; it must be set before the window exists.
    if (!terminalName.isEmpty())
        QApplication::setApplicationName(terminalName);
    const Qt::KeyboardModifiers pasteModifiers =
        terminalName.isEmpty() ? Qt::KeyboardModifiers(Qt::ControlModifier) : (Qt::ControlModifier | Qt::ShiftModifier);

    // The second window is shown first: the window manager gives the focus to the one shown last.
    std::unique_ptr<TargetWindow> second;
    if (!secondPath.isEmpty()) {
        second = std::make_unique<TargetWindow>(QStringLiteral("Murmex target 2"), secondPath, pasteModifiers);
        second->show();
    }
    TargetWindow window(QStringLiteral("Murmex target"), arguments.first(), pasteModifiers);
    window.show();
    window.activateWindow();
    return application.exec();
}
