// What the archive digest costs: UpdateSecurity::sha512Base64 against the system's sha512sum over
// the same 600 MiB of pseudo-random data (the largest archive an update may be), the page cache
// warmed first, each run twice, the best kept. Prints both throughputs and their ratio (goal: at
// least 0.9), and how much memory each needs: for ours, the rise of VmHWM in a child process that
// only computes the digest, over that child's own level just before; for sha512sum, its peak
// resident size from wait4 (and its own VmHWM, read while it runs). The goal is a flat digest (less than 16 MiB above the baseline).
// Never fails on a time. The file is written in the build tree and removed at the end.
//
//   build/tests/bench/bench_update_digest [FOLDER]

#include "updates/UpdateSecurity.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr qint64 fileBytes = UpdateSecurity::maximumArchiveBytes;
constexpr double mebibyte = 1024.0 * 1024.0;
const char *const childFlag = "--digest-child";

// A field of /proc/PID/status in kB ("VmHWM", "VmRSS"); -1 once the process has let go of its memory.
long statusKiB(const char *field, const QString &process = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The child: only the digest, between two readings of its peak. Writing "5" to clear_refs sets
// the peak back to the present size, so the baseline is what the child holds just before.
int digestChild(const char *path)
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    const bool reset = clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
    clearRefs.close();
    const long baseline = statusKiB("VmHWM");
    const auto start = Clock::now();
    const auto digest = UpdateSecurity::sha512Base64(QString::fromLocal8Bit(path));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long peak = statusKiB("VmHWM");
    if (!digest) {
        std::fprintf(stderr, "%s\n", qPrintable(digest.error().description));
        return 1;
    }
    std::printf("%.6f %ld %ld %d %s\n", seconds, baseline, peak, reset ? 1 : 0,
                QByteArray::fromBase64(digest->toLatin1()).toHex().constData());
    return 0;
}

struct Run {
    double seconds = 0;
    long maxrssKiB = 0;   // ru_maxrss from wait4, which counts the memory of the spawning process before exec
    long sampledKiB = 0;  // the program's own VmHWM, read every 10 ms while it ran
    std::string output;
};

// Runs a program with its standard output in a pipe; the time is from the spawn to the end. The
// program's VmHWM is read while it runs, until its output closes as it ends: an exec starts a new
// memory map, but wait4's ru_maxrss also holds the peak of the map it replaced, here the bench's
// own (posix_spawn shares it until the exec).
bool runProgram(const std::vector<std::string> &arguments, Run &run)
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const auto start = Clock::now();
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (spawned != 0) {
        ::close(pipeEnds[0]);
        return false;
    }
    run.output.clear();
    run.sampledKiB = 0;
    const QString process = QString::number(pid);
    char buffer[4096];
    for (;;) {
        run.sampledKiB = std::max(run.sampledKiB, statusKiB("VmHWM", process));
        pollfd readable{pipeEnds[0], POLLIN, 0};
        if (::poll(&readable, 1, 10) <= 0)
            continue;
        const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (got > 0)
            run.output.append(buffer, size_t(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    ::close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.maxrssKiB = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool writeRandomFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    std::mt19937_64 generator(20261207);
    std::vector<std::uint64_t> block(1 << 17); // 1 MiB
    for (qint64 written = 0; written < fileBytes;) {
        for (auto &word : block)
            word = generator();
        const qint64 size = std::min<qint64>(qint64(block.size() * sizeof(std::uint64_t)), fileBytes - written);
        if (file.write(reinterpret_cast<const char *>(block.data()), size) != size)
            return false;
        written += size;
    }
    return file.flush();
}

void readWhole(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return;
    std::vector<char> buffer(4 << 20);
    while (file.read(buffer.data(), qint64(buffer.size())) > 0) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], childFlag) == 0)
        return digestChild(argv[2]);
    QCoreApplication application(argc, argv);

    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(MURMEX_BINARY_DIR);
    const QString path = folder + QStringLiteral("/bench-update-digest.bin");
    struct Remover {
        QString path;
        ~Remover() { QFile::remove(path); }
    } remover{path};

    std::printf("Escribiendo %.0f MiB pseudoaleatorios en %s\n", double(fileBytes) / mebibyte, qPrintable(path));
    if (!writeRandomFile(path)) {
        std::fprintf(stderr, "No se puede escribir %s\n", qPrintable(path));
        return 1;
    }
    readWhole(path); // into the page cache, so that both sides read from memory
    readWhole(path);

    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    const std::string file = path.toStdString();
    double oursBest = 1e9, systemBest = 1e9;
    long baselineKiB = 0, growthKiB = 0, oursSampledKiB = 0, systemSampledKiB = 0, systemMaxrssKiB = 0, idleMaxrssKiB = 0;
    bool peakReset = true;
    std::string oursHex, systemHex;
    for (int round = 0; round < 2; ++round) {
        Run run;
        if (!runProgram({self, childFlag, file}, run)) {
            std::fprintf(stderr, "El cálculo propio falló\n");
            return 1;
        }
        double seconds = 0;
        long baseline = 0, peak = 0;
        int reset = 0;
        char hex[129] = {};
        if (std::sscanf(run.output.c_str(), "%lf %ld %ld %d %128s", &seconds, &baseline, &peak, &reset, hex) != 5)
            return 1;
        oursBest = std::min(oursBest, seconds);
        baselineKiB = std::max(baselineKiB, baseline);
        growthKiB = std::max(growthKiB, peak - baseline);
        peakReset = peakReset && reset;
        oursSampledKiB = std::max(oursSampledKiB, run.sampledKiB);
        oursHex = hex;

        if (!runProgram({"sha512sum", file}, run)) {
            std::fprintf(stderr, "sha512sum falló\n");
            return 1;
        }
        systemBest = std::min(systemBest, run.seconds);
        systemSampledKiB = std::max(systemSampledKiB, run.sampledKiB);
        systemMaxrssKiB = std::max(systemMaxrssKiB, run.maxrssKiB);
        systemHex = run.output.substr(0, run.output.find(' '));
    }

    // What ru_maxrss gives for a program that holds almost nothing, started the same way.
    Run idle;
    if (runProgram({"true"}, idle))
        idleMaxrssKiB = idle.maxrssKiB;

    const double megabytes = double(fileBytes) / mebibyte;
    const double oursRate = megabytes / oursBest;
    const double systemRate = megabytes / systemBest;
    std::printf("Resúmenes iguales: %s\n", oursHex == systemHex ? "sí" : "NO");
    std::printf("sha512Base64: %8.1f MiB/s (mejor de 2: %.3f s)\n", oursRate, oursBest);
    std::printf("sha512sum:    %8.1f MiB/s (mejor de 2: %.3f s, con el arranque del programa)\n", systemRate, systemBest);
    std::printf("Proporción sha512Base64 / sha512sum: %.2f (objetivo >= 0.9)\n", oursRate / systemRate);
    std::printf("Memoria del hijo de sha512Base64: base %ld KiB, +%.1f MiB durante el cálculo (objetivo < 16 MiB)%s; "
                "VmHWM del hijo entero %ld KiB\n",
                baselineKiB, double(growthKiB) / 1024.0,
                peakReset ? "" : " [sin clear_refs: el pico de antes cuenta]", oursSampledKiB);
    std::printf("Memoria de sha512sum: ru_maxrss %ld KiB (el de \"true\" lanzado igual: %ld KiB, heredado del que lanza); "
                "VmHWM propio %ld KiB\n",
                systemMaxrssKiB, idleMaxrssKiB, systemSampledKiB);
    return oursHex == systemHex ? 0 : 1;
}
