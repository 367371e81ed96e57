// Stands in for whisper.cpp's whisper-server in tests: the same command line, the same start-up
// (model first, then the port), and POST /inference answered the same way, with transcripts,
// failures, delays, hangs and deaths chosen by the test (see README.md).

#include "CommandLine.h"
#include "DoubleLog.h"
#include "DoubleSettings.h"
#include "TranscriptSource.h"
#include "WaveFile.h"

#include <httplib.h>

#include <QFileInfo>
#include <QJsonDocument>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QString programName = QStringLiteral("whisper-server");

const std::vector<CommandLine::Option> options = {
    {{QStringLiteral("-h"), QStringLiteral("--help")}, false},
    {{QStringLiteral("--host")}, true},
    {{QStringLiteral("--port")}, true},
    {{QStringLiteral("-m"), QStringLiteral("--model")}, true},
    {{QStringLiteral("-l"), QStringLiteral("--language")}, true},
    {{QStringLiteral("-t"), QStringLiteral("--threads")}, true},
    {{QStringLiteral("--beam-size")}, true},
    {{QStringLiteral("--best-of")}, true},
    {{QStringLiteral("--no-timestamps")}, false},
    {{QStringLiteral("--suppress-nst")}, false},
    {{QStringLiteral("--vad")}, false},
    {{QStringLiteral("--vad-model")}, true},
    {{QStringLiteral("--vad-threshold")}, true},
    {{QStringLiteral("--vad-min-speech-duration-ms")}, true},
    {{QStringLiteral("--vad-min-silence-duration-ms")}, true},
    {{QStringLiteral("--vad-speech-pad-ms")}, true},
};

const char usageText[] = R"(usage: whisper-server [options]

options:
  -h,        --help                          show this help and exit
             --host HOST                     address to listen on (default: 127.0.0.1)
             --port PORT                     port to listen on (default: 8080)
  -m FNAME,  --model FNAME                   speech model (default: models/ggml-base.en.bin)
  -l LANG,   --language LANG                 spoken language ("auto" to detect; default: en)
  -t N,      --threads N                     threads to use during computation
             --beam-size N                   beam size for beam search
             --best-of N                     number of best candidates to keep
             --no-timestamps                 do not print timestamps
             --suppress-nst                  suppress non-speech tokens
             --vad                           enable voice-activity detection
             --vad-model FNAME               voice-activity model
             --vad-threshold N               voice-activity threshold
             --vad-min-speech-duration-ms N  shortest speech
             --vad-min-silence-duration-ms N shortest silence
             --vad-speech-pad-ms N           padding around speech
)";

// Ends the program like the real server: usage on standard error, and yet status 0.
[[noreturn]] void exitWithUsage(DoubleLog &log, const QString &reason)
{
    if (!reason.isEmpty())
        std::fprintf(stderr, "error: %s\n\n", qPrintable(reason));
    std::fputs(usageText, stderr);
    log.write(QStringLiteral("usage"), {{QStringLiteral("reason"), reason}});
    log.write(QStringLiteral("exit"), {{QStringLiteral("status"), 0}});
    std::exit(0);
}

[[noreturn]] void exitWithStatus(DoubleLog &log, int status, const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
    log.write(QStringLiteral("exit"), {{QStringLiteral("status"), status}, {QStringLiteral("reason"), message}});
    std::exit(status);
}

// Values the real server reads as numbers; anything else is a usage error here.
QString badNumber(const CommandLine &commandLine)
{
    const QStringList wholeNumbers = {QStringLiteral("--port"), QStringLiteral("--threads"),
                                      QStringLiteral("--beam-size"), QStringLiteral("--best-of"),
                                      QStringLiteral("--vad-min-speech-duration-ms"),
                                      QStringLiteral("--vad-min-silence-duration-ms"),
                                      QStringLiteral("--vad-speech-pad-ms")};
    for (const QString &name : wholeNumbers) {
        bool ok = true;
        if (commandLine.isSet(name))
            commandLine.value(name).toInt(&ok);
        if (!ok)
            return QStringLiteral("%1 needs a whole number, not \"%2\"").arg(name, commandLine.value(name));
    }
    bool ok = true;
    if (commandLine.isSet(QStringLiteral("--vad-threshold")))
        commandLine.value(QStringLiteral("--vad-threshold")).toDouble(&ok);
    return ok ? QString() : QStringLiteral("--vad-threshold needs a number");
}

// SIGTERM (and SIGINT) end the server at once with status 0, whatever it is doing.
const DoubleLog *terminationLog = nullptr;
QByteArray terminationLine;

void onTerminationSignal(int)
{
    if (terminationLog)
        terminationLog->writeRaw(terminationLine.constData(), size_t(terminationLine.size()));
    ::_exit(0);
}

// The connection a request arrived on, found by the ports of its two ends (the library does not
// hand it out); -1 if it is gone.
int connectionOf(const httplib::Request &request)
{
    const auto portOf = [](const sockaddr_storage &address) {
        if (address.ss_family == AF_INET)
            return int(ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port));
        if (address.ss_family == AF_INET6)
            return int(ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port));
        return -1;
    };
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_storage peer{}, local{};
        socklen_t peerSize = sizeof peer, localSize = sizeof local;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localSize) == 0
            && portOf(peer) == request.remote_port && portOf(local) == request.local_port)
            return fd;
    }
    return -1;
}

// Works on a request for the given time (forever if none) unless the client hangs up first, as
// the real server aborts an inference whose client went away. False when the client left.
bool workUnlessClientLeaves(const httplib::Request &request, std::optional<std::chrono::milliseconds> duration)
{
    const int fd = connectionOf(request);
    const auto deadline = std::chrono::steady_clock::now() + duration.value_or(std::chrono::milliseconds(0));
    while (!duration || std::chrono::steady_clock::now() < deadline) {
        pollfd connection{fd, POLLRDHUP, 0};
        if (fd < 0 || (::poll(&connection, 1, 0) > 0 && (connection.revents & (POLLRDHUP | POLLHUP | POLLERR))))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string jsonError(const QString &message)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact).toStdString();
}

// POST /inference, one request at a time (the server has a single worker thread).
class Inference {
public:
    Inference(const DoubleSettings &settings, DoubleLog &log, QString startLanguage, bool voiceActivityModelUsable)
        : log(log), startLanguage(std::move(startLanguage)), transcripts(settings.transcripts()), failing(settings.numbers(QStringLiteral("FAIL"))),
          hanging(settings.numbers(QStringLiteral("HANG"))), delayMs(settings.number(QStringLiteral("DELAY_MS"), 0)),
          dieAfter(settings.number(QStringLiteral("DIE_AFTER"), 0)), voiceActivityModelUsable(voiceActivityModelUsable)
    {
    }

    void answer(const httplib::Request &request, httplib::Response &response)
    {
        const int number = ++requests;
        details = {{QStringLiteral("number"), number}};
        QJsonObject fields;
        for (const auto &[name, part] : request.files) {
            if (name != "file")
                fields.insert(QString::fromStdString(name), QString::fromStdString(part.content));
        }
        details.insert(QStringLiteral("fields"), fields);

        if (!request.has_file("file")) {
            fail(response, 400, QStringLiteral("no 'file' field in the request"));
            return;
        }
        const httplib::MultipartFormData file = request.get_file_value("file");
        const QString fileName = QString::fromStdString(file.filename);
        details.insert(QStringLiteral("file"), QJsonObject{{QStringLiteral("name"), fileName},
                                                           {QStringLiteral("contentType"), QString::fromStdString(file.content_type)},
                                                           {QStringLiteral("size"), qint64(file.content.size())}});
        const WaveContent content = inspectWave(QByteArray::fromStdString(file.content));
        if (content == WaveContent::notWave) {
            fail(response, 400, QStringLiteral("failed to read audio data"));
            return;
        }
        const QString language = fields.value(QStringLiteral("language")).toString(startLanguage);
        if (!isWhisperLanguage(language)) {
            fail(response, 400, QStringLiteral("unknown language '%1'").arg(language));
            return;
        }
        const QString format = fields.value(QStringLiteral("response_format")).toString(QStringLiteral("json"));
        if (format != QLatin1String("text") && format != QLatin1String("json")) {
            fail(response, 400, QStringLiteral("this test double answers only response_format text or json"));
            return;
        }
        if (!voiceActivityModelUsable) {
            fail(response, 500, QStringLiteral("failed to load the voice-activity model"));
            return;
        }
        if (hanging.contains(number))
            log.write(QStringLiteral("hang"), details);
        const auto duration = hanging.contains(number) ? std::nullopt : std::optional(std::chrono::milliseconds(delayMs));
        if (!workUnlessClientLeaves(request, duration)) {
            details.insert(QStringLiteral("error"), QStringLiteral("the client went away"));
            details.insert(QStringLiteral("status"), QJsonValue::Null); // nobody got an answer
            return;
        }
        if (failing.contains(number)) {
            fail(response, 500, QStringLiteral("failed to process audio"));
            return;
        }

        QString text;
        if (content == WaveContent::sound) {
            for (const QString &segment : transcripts.take(fileName))
                text += u' ' + segment + u'\n';
        }
        details.insert(QStringLiteral("transcript"), text);
        if (format == QLatin1String("text"))
            response.set_content(text.toStdString(), "text/plain; charset=utf-8");
        else
            response.set_content(QJsonDocument(QJsonObject{{QStringLiteral("text"), text}}).toJson(QJsonDocument::Compact).toStdString(),
                                 "application/json");
    }

    // Called once the answer has been sent, for every request.
    void answered(const httplib::Request &request, const httplib::Response &response)
    {
        QJsonObject entry = {{QStringLiteral("method"), QString::fromStdString(request.method)},
                             {QStringLiteral("path"), QString::fromStdString(request.path)},
                             {QStringLiteral("status"), response.status}};
        const bool inference = request.method == "POST" && request.path == "/inference";
        if (inference) {
            for (auto it = details.constBegin(); it != details.constEnd(); ++it)
                entry.insert(it.key(), it.value());
            details = {};
        }
        log.write(QStringLiteral("request"), entry);
        const bool answeredInference = inference && !entry.value(QStringLiteral("status")).isNull();
        if (answeredInference && dieAfter > 0 && ++answeredRequests >= dieAfter) {
            log.write(QStringLiteral("exit"), {{QStringLiteral("status"), 1},
                                               {QStringLiteral("reason"), QStringLiteral("died after %1 requests").arg(dieAfter)}});
            ::_exit(1);
        }
    }

private:
    void fail(httplib::Response &response, int status, const QString &message)
    {
        details.insert(QStringLiteral("error"), message);
        response.status = status;
        response.set_content(jsonError(message), "application/json");
    }

    DoubleLog &log;
    QString startLanguage; // a request without a language uses the one of the command line
    TranscriptSource transcripts;
    NumberSet failing;
    NumberSet hanging;
    int delayMs;
    int dieAfter;
    bool voiceActivityModelUsable;
    int requests = 0;
    int answeredRequests = 0;
    QJsonObject details; // of the request being answered
};

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    const DoubleSettings settings(programName, QStringLiteral("SERVER"));
    DoubleLog log(programName, settings.text(QStringLiteral("LOG")));
    log.writeStart(arguments);
    terminationLog = &log;
    terminationLine = log.line(QStringLiteral("exit"), {{QStringLiteral("status"), 0}, {QStringLiteral("reason"), QStringLiteral("SIGTERM")}});
    std::signal(SIGTERM, onTerminationSignal);
    std::signal(SIGINT, onTerminationSignal);
    std::signal(SIGPIPE, SIG_IGN); // a client that hung up must not end the server

    CommandLine commandLine(options, false);
    if (!commandLine.parse(arguments))
        exitWithUsage(log, commandLine.error());
    if (commandLine.isSet(QStringLiteral("--help")))
        exitWithUsage(log, {});
    if (const QString problem = badNumber(commandLine); !problem.isEmpty())
        exitWithUsage(log, problem);
    const QString language = commandLine.value(QStringLiteral("--language"), QStringLiteral("en"));
    if (!isWhisperLanguage(language))
        exitWithUsage(log, QStringLiteral("unknown language '%1'").arg(language));

    // Read the test's wishes now, so that a mistake in them ends the double before it listens.
    const QString vadModel = commandLine.value(QStringLiteral("--vad-model"));
    const bool vadUsable = !commandLine.isSet(QStringLiteral("--vad")) || QFileInfo(vadModel).isFile();
    Inference inference(settings, log, language, vadUsable);
    const int listenDelayMs = settings.number(QStringLiteral("LISTEN_DELAY_MS"), 0);
    const bool badModel = settings.number(QStringLiteral("BAD_MODEL"), 0) > 0;

    const QString model = commandLine.value(QStringLiteral("--model"), QStringLiteral("models/ggml-base.en.bin"));
    if (!QFileInfo(model).isFile() || !QFileInfo(model).isReadable())
        exitWithStatus(log, 3, QStringLiteral("error: failed to load the model '%1'").arg(model));
    if (badModel) { // what whisper.cpp prints for a damaged or truncated model
        std::fprintf(stderr, "whisper_init_from_file_with_params_no_state: loading model from '%s'\n", qPrintable(model));
        std::fprintf(stderr, "whisper_init_with_params_no_state: failed to load model\n");
        exitWithStatus(log, 3, QStringLiteral("error: failed to initialize whisper context"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(listenDelayMs)); // "loading" it

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(1); };
    // The library's default also sets SO_REUSEPORT, which would let two servers share a port.
    server.set_socket_options([](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.Get("/health", [](const httplib::Request &, httplib::Response &response) {
        response.set_content(R"({"status":"ok"})", "application/json");
    });
    server.Post("/inference", [&inference](const httplib::Request &request, httplib::Response &response) {
        inference.answer(request, response);
    });
    server.set_logger([&inference](const httplib::Request &request, const httplib::Response &response) {
        inference.answered(request, response);
    });

    const QString host = commandLine.value(QStringLiteral("--host"), QStringLiteral("127.0.0.1"));
    const int port = commandLine.value(QStringLiteral("--port"), QStringLiteral("8080")).toInt();
    if (!server.bind_to_port(host.toStdString(), port))
        exitWithStatus(log, 1, QStringLiteral("error: couldn't bind to %1:%2").arg(host).arg(port));
    log.write(QStringLiteral("listening"), {{QStringLiteral("host"), host}, {QStringLiteral("port"), port}});
    std::fprintf(stderr, "whisper-server (test double): listening at http://%s:%d\n", qPrintable(host), port);
    if (!server.listen_after_bind())
        exitWithStatus(log, 1, QStringLiteral("error: the server stopped listening"));
    return 0;
}
