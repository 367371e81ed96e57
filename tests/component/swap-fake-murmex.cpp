// The installed program as the swap job's tests need it, copied into each test bundle as
// bin/murmex. Started as <bundle>/bin/murmex, it appends "<version> <pid>" to $HOME/starts.log
// (the version from <bundle>/bundle.json) and then does what <bundle>/fake-mode says:
//   ack     acknowledges a requested trial as the real program does: when
//           $XDG_DATA_HOME/Murmex/Updates/health-<version>.request exists it writes "ok" to the
//           .ack next to it (a temporary file renamed into place)
//   silent  never acknowledges
//   crash   exits at once with status 1
// and, unless it crashed, runs until SIGTERM.

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
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

bool save(const std::string &path, const std::string &text, std::ios::openmode mode = std::ios::trunc)
{
    std::ofstream file(path, mode);
    return bool(file << text << std::flush);
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
    const std::string json = contents(bundle + "/bundle.json"), key = "\"version\":\"";
    const auto start = json.find(key) + key.size();
    const std::string version = json.substr(start, json.find('"', start) - start);
    const std::string mode = contents(bundle + "/fake-mode");
    const std::string home = std::getenv("HOME");
    if (!save(home + "/starts.log", version + " " + std::to_string(getpid()) + "\n", std::ios::app))
        return 2;

    if (mode == "crash")
        return 1;
    const char *data = std::getenv("XDG_DATA_HOME");
    const std::string trial = (data ? std::string(data) : home + "/.local/share") + "/Murmex/Updates/health-" + version;
    if (mode == "ack" && access((trial + ".request").c_str(), F_OK) == 0
        && !(save(trial + ".ack.partial", "ok") && std::rename((trial + ".ack.partial").c_str(), (trial + ".ack").c_str()) == 0))
        return 3;
    int signal = 0;
    sigwait(&term, &signal);
    return 0;
}
