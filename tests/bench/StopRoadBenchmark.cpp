// Where the time goes between the second press of the shortcut and the text in the target, against
// a bare curl of the very same segment file posted to the same server in the same run. Drives the
// real Murmex of the build tree on the headless desktop, as a person would: the shortcut pressed and
// released through XTEST, a phrase spoken into the microphone, the shortcut again. Prints figures;
// never fails on a time.
//
//   tests/harness/with-desktop build/tests/bench/bench_stop_road [--dictations N] [--phrase TEXT]
//
// With MURMEX_BENCH_WHISPER_DIR naming a folder that holds a whisper.cpp build (whisper-server in
// it, bin/ or build/bin/) and models (ggml-*.bin and a ggml-silero-*.bin voice-activity model, in it
// or models/), the same dictations run against the real server too.

#include <QClipboard>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int timeout = 30000;

const QString source = QStringLiteral(MURMEX_SOURCE_DIR);
const QString build = QStringLiteral(MURMEX_BINARY_DIR);

// Murmex's trace and this program's clock are both the monotonic clock: seconds since boot.
double now()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(std::ceil(fraction * double(values.size())) - 1));
    return values[index];
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool portAccepts(int port)
{
    const int connection = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted = connection >= 0 && ::connect(connection, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (connection >= 0)
        ::close(connection);
    return accepted;
}

// Runs the event loop until the condition holds, checking it every millisecond. The loop never
// sleeps past an event, so this program answers a paste from its clipboard at once.
bool waitUntil(const std::function<bool()> &condition, int milliseconds)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    check.start(1);
    loop.exec();
    return condition();
}

// Ends Murmex (which ends its server) and the target when a run cannot go on.
std::function<void()> endRun;

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "bench_stop_road: %s\n", qPrintable(message));
    if (endRun)
        std::exchange(endRun, nullptr)();
    std::exit(1);
}

// Keys pressed and released through XTEST: all presses, then the releases in reverse, in one flush,
// so the X server handles each release right after the presses.
class XTestKeys {
public:
    XTestKeys()
    {
        connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(connection))
            fail(QStringLiteral("no X display"));
        const xcb_setup_t *setup = xcb_get_setup(connection);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        xcb_get_keyboard_mapping_reply_t *mapping =
            xcb_get_keyboard_mapping_reply(connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, quint8(count)), nullptr);
        if (!mapping)
            fail(QStringLiteral("no keyboard mapping"));
        const xcb_keysym_t *symbols = xcb_get_keyboard_mapping_keysyms(mapping);
        for (int i = count * mapping->keysyms_per_keycode - 1; i >= 0; --i)
            keycodes[symbols[i]] = xcb_keycode_t(setup->min_keycode + i / mapping->keysyms_per_keycode);
        std::free(mapping);
    }
    ~XTestKeys() { xcb_disconnect(connection); }

    // Returns once the X server has handled every key event.
    void tap(std::initializer_list<xcb_keysym_t> keysyms)
    {
        std::vector<xcb_keycode_t> keys;
        for (xcb_keysym_t keysym : keysyms) {
            if (!keycodes.contains(keysym))
                fail(QStringLiteral("no keycode for keysym 0x%1").arg(keysym, 0, 16));
            keys.push_back(keycodes[keysym]);
        }
        for (xcb_keycode_t key : keys)
            xcb_test_fake_input(connection, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        for (auto key = keys.rbegin(); key != keys.rend(); ++key)
            xcb_test_fake_input(connection, XCB_KEY_RELEASE, *key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr)); // a round trip
    }
    void shortcut() { tap({0xffe3 /* Control_L */, 0xffe9 /* Alt_L */, 0xffeb /* Super_L */, 0x64 /* d */}); }
    void paste() { tap({0xffe3 /* Control_L */, 0x76 /* v */}); }

private:
    xcb_connection_t *connection = nullptr;
    std::map<xcb_keysym_t, xcb_keycode_t> keycodes; // the lowest keycode of each keysym
};

// The moments the target program replaced its text file (it writes a new file and renames it).
class TargetFileWatcher {
public:
    TargetFileWatcher(const QString &folder, const QString &name) : name(name.toStdString())
    {
        descriptor = inotify_init1(IN_CLOEXEC);
        if (descriptor < 0 || inotify_add_watch(descriptor, QFile::encodeName(folder).constData(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
            fail(QStringLiteral("cannot watch %1").arg(folder));
        worker = std::thread([this] { run(); });
    }
    ~TargetFileWatcher()
    {
        stopping = true;
        worker.join();
        ::close(descriptor);
    }
    // The first change at or after `since`, if any.
    std::optional<double> firstChangeAfter(double since)
    {
        std::lock_guard lock(mutex);
        for (double moment : changes)
            if (moment >= since)
                return moment;
        return std::nullopt;
    }

private:
    void run()
    {
        alignas(inotify_event) char buffer[4096];
        while (!stopping) {
            pollfd readable{descriptor, POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0)
                continue;
            const ssize_t length = ::read(descriptor, buffer, sizeof buffer);
            const double moment = now();
            for (ssize_t offset = 0; offset < length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
                if (event->len > 0 && name == event->name) {
                    std::lock_guard lock(mutex);
                    changes.push_back(moment);
                }
                offset += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }

    const std::string name;
    int descriptor = -1;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::vector<double> changes;
    std::thread worker;
};

// The options Murmex's server job gives curl (WhisperTranscriptionService), for one segment.
QStringList curlArguments(int port, const QString &segment, const QString &output)
{
    QString quoted = segment;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return {QStringLiteral("-q"),              QStringLiteral("--silent"),
            QStringLiteral("--show-error"),    QStringLiteral("--fail"),
            QStringLiteral("--noproxy"),       QStringLiteral("*"),
            QStringLiteral("--max-time"),      QStringLiteral("3600"),
            QStringLiteral("--max-filesize"),  QStringLiteral("1048576"),
            QStringLiteral("http://127.0.0.1:%1/inference").arg(port),
            QStringLiteral("--form"),          QStringLiteral("file=@\"") + quoted + QStringLiteral("\";type=audio/wav"),
            QStringLiteral("--form"),          QStringLiteral("temperature=0.0"),
            QStringLiteral("--form"),          QStringLiteral("temperature_inc=0.2"),
            QStringLiteral("--form"),          QStringLiteral("language=es"),
            QStringLiteral("--form"),          QStringLiteral("response_format=text"),
            QStringLiteral("--output"),        output};
}

// The steps, in order; times are in milliseconds after "stop-pressed".
const QStringList steps = {QStringLiteral("recorder-stopped"), QStringLiteral("segment-closed"), QStringLiteral("request-sent"),
                           QStringLiteral("answer-read"),      QStringLiteral("text-finished"),  QStringLiteral("keys-posted")};

struct Dictation {
    double pressToStop = 0;            // XTEST press handled → "stop-pressed"
    std::map<QString, double> stepMs;  // step → ms after "stop-pressed"
    double total = 0;                  // text in the target, ms after "stop-pressed"
    double curlInMurmex = 0;           // "request-sent" → "answer-read"
    double bareCurl = 0;               // the same segments posted by this program
    double pasteFloor = 0;             // Ctrl+V with this idle program owning the clipboard → text in the target
};

struct Engine {
    QString name;
    QString path;           // prepended to PATH
    QString model;          // linked as ggml-base.bin
    QString vadModel;       // linked as ggml-silero-v6.2.0.bin
    QProcessEnvironment extra;
};

class Run {
public:
    Run(const Engine &engine, const QString &scratch, const QString &phrase) : engine(engine), scratch(scratch), phrase(phrase) {}

    std::vector<Dictation> dictate(int count);

private:
    QString dataRoot() const { return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Murmex"); }
    QString state() const
    {
        return QJsonDocument::fromJson(readFile(dataRoot() + QStringLiteral("/runtime-state.json")).toUtf8())
            .object()
            .value(QStringLiteral("state"))
            .toString();
    }
    bool waitFor(const std::function<bool()> &condition, int milliseconds = timeout) { return waitUntil(condition, milliseconds); }
    QString log()
    {
        murmexLog += QString::fromUtf8(murmex.readAllStandardError());
        return murmexLog;
    }
    void start();
    void stop();
    bool focusTarget()
    {
        return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--name"),
                                                             QStringLiteral("^Murmex target$"), QStringLiteral("windowactivate"),
                                                             QStringLiteral("--sync")})
            == 0;
    }
    QStringList segmentFiles() const
    {
        QStringList files;
        const QDir recordings(dataRoot() + QStringLiteral("/Recordings"));
        for (const QString &folder : recordings.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const QString &file : QDir(recordings.filePath(folder)).entryList({QStringLiteral("segment-*.wav")}, QDir::Files, QDir::Name))
                files.append(recordings.filePath(folder + QLatin1Char('/') + file));
        return files;
    }
    std::map<QString, double> tracesSince(qsizetype from);
    double bareCurl(const QStringList &segments);
    double pasteFloor(XTestKeys &keys, TargetFileWatcher &watcher);

    const Engine engine;
    const QString scratch;
    const QString phrase;
    QProcess target;
    QProcess murmex;
    QString murmexLog;
    int port = 0;
};

void Run::start()
{
    QDir(dataRoot()).removeRecursively();
    const QString models = dataRoot() + QStringLiteral("/Models");
    QDir().mkpath(models);
    if (!QFile::link(engine.model, models + QStringLiteral("/ggml-base.bin"))
        || !QFile::link(engine.vadModel, models + QStringLiteral("/ggml-silero-v6.2.0.bin")))
        fail(QStringLiteral("cannot link the models into %1").arg(models));

    endRun = [this] { stop(); };
    const QString targetFile = scratch + QStringLiteral("/target.txt");
    target.start(build + QStringLiteral("/tests/harness/target/murmex-target"), {targetFile});
    if (!target.waitForStarted() || !focusTarget())
        fail(QStringLiteral("the target program did not come up"));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), engine.path + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("MURMEX_STARTUP_TRACE"), QStringLiteral("1"));
    for (const QString &name : engine.extra.keys())
        environment.insert(name, engine.extra.value(name));
    murmex.setProcessEnvironment(environment);
    murmex.setStandardOutputFile(QProcess::nullDevice());
    murmex.start(build + QStringLiteral("/Murmex/bin/murmex"), {});
    if (!murmex.waitForStarted())
        fail(QStringLiteral("Murmex did not start"));
    port = 20000 + int(murmex.processId() % 30000);
    // The server binds its port once its model is loaded: a connection means it is ready.
    const bool serverReady = waitFor([&] { return portAccepts(port); }, 120000);
    if (!serverReady || !waitFor([&] { return state() == QLatin1String("idle"); }))
        fail(QStringLiteral("Murmex or its server did not come up; Murmex's log:\n%1").arg(log()));
}

void Run::stop()
{
    endRun = nullptr;
    if (murmex.state() != QProcess::NotRunning) {
        ::kill(pid_t(murmex.processId()), SIGTERM); // ends its server too
        if (!murmex.waitForFinished(10000))
            murmex.kill();
    }
    if (target.state() != QProcess::NotRunning) {
        target.terminate();
        if (!target.waitForFinished(3000))
            target.kill();
    }
}

std::map<QString, double> Run::tracesSince(qsizetype from)
{
    std::map<QString, double> first, last;
    for (const QString &line : log().mid(from).split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("MURMEX_STARTUP ")))
            continue;
        const QString label = line.section(QLatin1Char(' '), 2);
        const double uptime = line.section(QLatin1Char(' '), 1, 1).toDouble();
        first.try_emplace(label, uptime);
        last[label] = uptime;
    }
    // With several segments the answer that matters is the last one.
    if (last.contains(QStringLiteral("answer-read")))
        first[QStringLiteral("answer-read")] = last[QStringLiteral("answer-read")];
    return first;
}

double Run::bareCurl(const QStringList &segments)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &segment : segments) {
        QProcess curl;
        curl.start(QStringLiteral("/usr/bin/curl"), curlArguments(port, segment, scratch + QStringLiteral("/bare-answer.txt")));
        if (!curl.waitForFinished(timeout) || curl.exitCode() != 0)
            fail(QStringLiteral("the bare curl of %1 failed: %2").arg(segment, QString::fromUtf8(curl.readAllStandardError())));
    }
    return double(timer.nsecsElapsed()) / 1e6;
}

// The same paste with an owner that does nothing else: what the target itself takes.
double Run::pasteFloor(XTestKeys &keys, TargetFileWatcher &watcher)
{
    const QString targetFile = scratch + QStringLiteral("/target.txt");
    QGuiApplication::clipboard()->setText(QStringLiteral(" ."), QClipboard::Clipboard);
    if (!waitUntil([] { return QGuiApplication::clipboard()->ownsClipboard(); }, timeout))
        fail(QStringLiteral("cannot own the clipboard"));
    const QString before = readFile(targetFile);
    const double pressed = now();
    keys.paste();
    if (!waitFor([&] { return watcher.firstChangeAfter(pressed) && readFile(targetFile) != before; }))
        fail(QStringLiteral("the paste of the floor measurement did not arrive"));
    const auto arrived = watcher.firstChangeAfter(pressed);
    if (!arrived)
        fail(QStringLiteral("the paste of the floor measurement did not change the target file"));
    return (*arrived - pressed) * 1000.0;
}

std::vector<Dictation> Run::dictate(int count)
{
    start();
    const QString targetFile = scratch + QStringLiteral("/target.txt");
    TargetFileWatcher watcher(scratch, QStringLiteral("target.txt"));
    XTestKeys keys;
    std::vector<Dictation> dictations;
    for (int i = 1; i <= count; ++i) {
        if (!focusTarget())
            fail(QStringLiteral("cannot focus the target"));
        const qsizetype logBefore = log().size();
        keys.shortcut();
        if (!waitFor([&] { return state() == QLatin1String("recording"); }))
            fail(QStringLiteral("dictation %1 did not start recording; Murmex's log:\n%2").arg(i).arg(log().mid(logBefore)));
        if (QProcess::execute(source + QStringLiteral("/tests/harness/desktop"),
                              {QStringLiteral("speak"), qEnvironmentVariable("MURMEX_DESKTOP_DIR"), phrase})
            != 0)
            fail(QStringLiteral("cannot speak into the microphone"));
        if (!waitFor([&] { return log().indexOf(QStringLiteral("[MurmexRecording] Voz detectada."), logBefore) >= 0; }))
            fail(QStringLiteral("dictation %1 heard no voice").arg(i));

        // Hard links keep the segments once Murmex deletes its recording folder after the paste;
        // their content is whatever Murmex wrote last, the file it posted.
        QStringList kept;
        for (const QString &segment : segmentFiles()) {
            const QString copy = scratch + QStringLiteral("/%1-%2").arg(i).arg(QFileInfo(segment).fileName());
            QFile::remove(copy);
            if (::link(QFile::encodeName(segment).constData(), QFile::encodeName(copy).constData()) != 0)
                fail(QStringLiteral("cannot link %1").arg(segment));
            kept.append(copy);
        }
        if (kept.isEmpty())
            fail(QStringLiteral("dictation %1 has no segment file").arg(i));

        const QString before = readFile(targetFile);
        const qsizetype stopLog = log().size();
        const double pressed = now();
        keys.shortcut();
        // The watcher's flag is cheap to check: no reading of files while Murmex works.
        if (!waitFor([&] { return watcher.firstChangeAfter(pressed) && readFile(targetFile) != before; }))
            fail(QStringLiteral("dictation %1: no text arrived; Murmex's log:\n%2").arg(i).arg(log().mid(logBefore)));
        if (!waitFor([&] { return state() == QLatin1String("idle") && segmentFiles().isEmpty(); }))
            fail(QStringLiteral("dictation %1 did not end").arg(i));
        const auto arrived = watcher.firstChangeAfter(pressed);
        std::map<QString, double> traces = tracesSince(stopLog);
        if (!arrived || !traces.contains(QStringLiteral("stop-pressed")))
            fail(QStringLiteral("dictation %1: no \"stop-pressed\" trace or no change of the target file; Murmex's log:\n%2")
                     .arg(i)
                     .arg(log().mid(logBefore)));

        Dictation dictation;
        const double stopPressed = traces[QStringLiteral("stop-pressed")];
        dictation.pressToStop = (stopPressed - pressed) * 1000.0;
        for (const QString &step : steps)
            if (traces.contains(step))
                dictation.stepMs[step] = (traces[step] - stopPressed) * 1000.0;
        dictation.total = (*arrived - stopPressed) * 1000.0;
        if (traces.contains(QStringLiteral("request-sent")) && traces.contains(QStringLiteral("answer-read")))
            dictation.curlInMurmex = (traces[QStringLiteral("answer-read")] - traces[QStringLiteral("request-sent")]) * 1000.0;
        dictation.bareCurl = bareCurl(kept);
        dictation.pasteFloor = pasteFloor(keys, watcher);
        dictations.push_back(dictation);
        std::fprintf(stderr, "%s %d/%d: %.1f ms, bare curl %.1f ms\n", qPrintable(engine.name), i, count, dictation.total, dictation.bareCurl);
    }
    stop();
    return dictations;
}

void printTable(const QString &title, const std::vector<Dictation> &dictations)
{
    const auto row = [](const char *name, const std::vector<double> &values) {
        std::printf("%-44s %8.1f %8.1f\n", name, percentile(values, 0.5), percentile(values, 0.9));
    };
    const auto column = [&](auto field) {
        std::vector<double> values;
        for (const Dictation &dictation : dictations)
            if (const auto value = field(dictation))
                values.push_back(*value);
        return values;
    };
    std::printf("\n%s, %zu dictations (ms after \"stop-pressed\")\n", qPrintable(title), dictations.size());
    std::printf("%-44s %8s %8s\n", "", "median", "p90");
    row("second press sent (XTEST) -> stop-pressed", column([](const Dictation &d) { return std::optional(d.pressToStop); }));
    for (const QString &step : steps) {
        const auto values = column([&](const Dictation &d) {
            const auto found = d.stepMs.find(step);
            return found == d.stepMs.end() ? std::nullopt : std::optional(found->second);
        });
        row(qPrintable(step), values);
    }
    row("text in the target (total)", column([](const Dictation &d) { return std::optional(d.total); }));
    std::printf("\n");
    row("curl inside Murmex (request-sent -> answer-read)", column([](const Dictation &d) { return std::optional(d.curlInMurmex); }));
    row("bare curl of the same segment", column([](const Dictation &d) { return std::optional(d.bareCurl); }));
    row("paste floor (Ctrl+V, idle owner -> text)", column([](const Dictation &d) { return std::optional(d.pasteFloor); }));
    row("keys-posted -> text in the target", column([](const Dictation &d) {
            const auto posted = d.stepMs.find(QStringLiteral("keys-posted"));
            return posted == d.stepMs.end() ? std::nullopt : std::optional(d.total - posted->second);
        }));
    row("Murmex's own part (total - bare curl)", column([](const Dictation &d) { return std::optional(d.total - d.bareCurl); }));
}

// A whisper.cpp build and its models in MURMEX_BENCH_WHISPER_DIR, or why not.
std::optional<Engine> realEngine(QString &why)
{
    const QString folder = qEnvironmentVariable("MURMEX_BENCH_WHISPER_DIR");
    if (folder.isEmpty()) {
        why = QStringLiteral("MURMEX_BENCH_WHISPER_DIR is not set");
        return std::nullopt;
    }
    Engine engine{QStringLiteral("whisper.cpp"), {}, {}, {}, {}};
    for (const QString &bin : {folder, folder + QStringLiteral("/bin"), folder + QStringLiteral("/build/bin")})
        if (QFileInfo(bin + QStringLiteral("/whisper-server")).isExecutable()) {
            engine.path = bin;
            break;
        }
    for (const QString &models : {folder, folder + QStringLiteral("/models")}) {
        for (const QFileInfo &model : QDir(models).entryInfoList({QStringLiteral("ggml-*.bin")}, QDir::Files, QDir::Size | QDir::Reversed)) {
            const bool vad = model.fileName().startsWith(QLatin1String("ggml-silero"));
            QString &slot = vad ? engine.vadModel : engine.model;
            if (slot.isEmpty())
                slot = model.absoluteFilePath(); // the smallest speech model: the tiny one where there are several
        }
    }
    if (engine.path.isEmpty())
        why = QStringLiteral("no whisper-server in %1, %1/bin or %1/build/bin").arg(folder);
    else if (engine.model.isEmpty())
        why = QStringLiteral("no ggml-*.bin speech model in %1 or %1/models").arg(folder);
    else if (engine.vadModel.isEmpty())
        why = QStringLiteral("no ggml-silero-*.bin voice-activity model in %1 or %1/models (Murmex starts the server with --vad)").arg(folder);
    else
        return engine;
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("dictations"), QStringLiteral("Dictations per engine."), QStringLiteral("N"), QStringLiteral("20")});
    parser.addOption({QStringLiteral("phrase"), QStringLiteral("What is spoken into the microphone."), QStringLiteral("TEXT"),
                      QStringLiteral("Hola desde Murmex, qué tal.")});
    parser.process(application);
    const int count = parser.value(QStringLiteral("dictations")).toInt();
    if (qEnvironmentVariable("MURMEX_DESKTOP_DIR").isEmpty())
        fail(QStringLiteral("run me inside the headless desktop: tests/harness/with-desktop %1").arg(QGuiApplication::applicationFilePath()));

    // Inside the desktop's folder, on the file system of Murmex's data, so that hard links work.
    QTemporaryDir scratch(qEnvironmentVariable("MURMEX_DESKTOP_DIR") + QStringLiteral("/bench-XXXXXX"));
    const QString fakeModel = scratch.filePath(QStringLiteral("fake-model.bin"));
    if (!writeFile(fakeModel, "model"))
        fail(QStringLiteral("cannot write %1").arg(fakeModel));

    Engine doubleEngine{QStringLiteral("engine double"), build + QStringLiteral("/tests/doubles/bin"), fakeModel, fakeModel, {}};
    doubleEngine.extra.insert(QStringLiteral("MURMEX_DOUBLE_DELAY_MS"), QStringLiteral("0"));
    doubleEngine.extra.insert(QStringLiteral("MURMEX_DOUBLE_TRANSCRIPTS"), QStringLiteral("hola desde murmex, que tal"));

    std::printf("Shortcut: Ctrl+Alt+Super+D pressed and released through XTEST in one batch: the release follows the press with no gap.\n");
    std::fflush(stdout);
    const auto doubled = Run(doubleEngine, scratch.path(), parser.value(QStringLiteral("phrase"))).dictate(count);
    printTable(QStringLiteral("Engine double (MURMEX_DOUBLE_DELAY_MS=0)"), doubled);

    QString why;
    if (const auto real = realEngine(why)) {
        std::fflush(stdout);
        const auto measured = Run(*real, scratch.path(), parser.value(QStringLiteral("phrase"))).dictate(count);
        printTable(QStringLiteral("whisper.cpp server (%1)").arg(QFileInfo(real->model).fileName()), measured);
    } else {
        std::printf("\nReal whisper.cpp server: skipped (%s).\n", qPrintable(why));
    }
    return 0;
}
