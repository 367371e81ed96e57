// The installed program as the swap job's tests need it, copied into each test bundle as
// bin/murmex. Started as <bundle>/bin/murmex, it appends "<version> <pid>" to $HOME/starts.log
// (the version from <bundle>/bundle.json) and then does what <bundle>/fake-mode says:
//   ack     acknowledges a requested trial as the real program does: when
//           $XDG_DATA_HOME/Murmex/Updates/health-<version>.request exists it writes "ok" to the
//           .ack next to it (a temporary file renamed into place)
//   silent  never acknowledges
//   crash   exits at once with status 1
// and, unless it crashed, runs until SIGTERM.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string contents(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string versionOf(const std::string &bundle)
{
    const std::string json = contents(bundle + "/bundle.json");
    const std::string key = "\"version\":\"";
    const auto start = json.find(key);
    if (start == std::string::npos)
        return "0.0.0";
    const auto end = json.find('"', start + key.size());
    return json.substr(start + key.size(), end - start - key.size());
}

bool writeAtomically(const std::string &path, const std::string &text)
{
    const std::string temporary = path + ".partial";
    std::ofstream file(temporary, std::ios::trunc);
    file << text;
    file.close();
    return file && std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int, char **argv)
{
    // Blocked from the start, so that a TERM arriving before the wait below still ends the wait.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);

    const std::string program = argv[0];
    const std::string bundle = program.substr(0, program.rfind("/bin/murmex"));
    const std::string version = versionOf(bundle);
    std::string mode = contents(bundle + "/fake-mode");
    mode = mode.substr(0, mode.find('\n'));

    const char *home = std::getenv("HOME");
    const std::string line = version + " " + std::to_string(getpid()) + "\n";
    const int log = open((std::string(home ? home : "/tmp") + "/starts.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (log < 0 || write(log, line.data(), line.size()) != ssize_t(line.size()))
        return 2;
    close(log);

    if (mode == "crash")
        return 1;
    if (mode == "ack") {
        const char *data = std::getenv("XDG_DATA_HOME");
        const std::string updates = (data ? std::string(data) : std::string(home) + "/.local/share") + "/Murmex/Updates";
        if (access((updates + "/health-" + version + ".request").c_str(), F_OK) == 0
            && !writeAtomically(updates + "/health-" + version + ".ack", "ok"))
            return 3;
    }
    int signal = 0;
    sigwait(&term, &signal);
    return 0;
}
