#include "RelayProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string describe(int status) {
    if (WIFEXITED(status)) {
        return "exit " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "signal " + std::to_string(WTERMSIG(status));
    }
    return "status " + std::to_string(status);
}

} // namespace

RelayProcess::RelayProcess(const std::string& executable, Configuration configuration,
                           const RelaySettings& settings) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tandrel-bench-relay-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    folder_ = pattern;
    std::vector<std::string> arguments{executable};
    if (configuration == Configuration::settingsFile) {
        std::filesystem::create_directories(folder_ + "/tandrel");
        std::ofstream(folder_ + "/tandrel/tandrel.conf") << settings.fileText();
    } else {
        const auto items = settings.items();
        arguments.insert(arguments.end(), items.begin(), items.end());
    }
    const std::string logPath = folder_ + "/relay.log";
    // Everything the child needs is made before the fork: the child only redirects and execs.
    std::vector<std::string> environment{"XDG_CONFIG_HOME=" + folder_, "HOME=" + folder_};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "XDG_CONFIG_HOME=", 16) != 0 &&
            std::strncmp(*variable, "HOME=", 5) != 0) {
            environment.emplace_back(*variable);
        }
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid_ == 0) {
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execve(executable.c_str(), argv.data(), envp.data());
        _exit(127);
    }
}

RelayProcess::~RelayProcess() {
    if (running()) {
        stop();
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

double RelayProcess::cpuSeconds() const {
    // The process's CPU clock sums the scheduler's exact run time of all its threads, those
    // that have ended included. /proc/PID/stat counts in 10 ms ticks, rounded per thread: too
    // coarse for an idle relay's few tens of milliseconds.
    clockid_t clock{};
    timespec time{};
    if (clock_getcpuclockid(pid_, &clock) != 0 || clock_gettime(clock, &time) != 0) {
        return 0;
    }
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

std::uint64_t RelayProcess::statusField(const char* name) const {
    std::istringstream status(readFile("/proc/" + std::to_string(pid_) + "/status"));
    const std::string prefix = std::string(name) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtoull(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return 0;
}

std::uint64_t RelayProcess::peakResidentKiB() const {
    return statusField("VmHWM");
}

std::uint64_t RelayProcess::residentKiB() const {
    return statusField("VmRSS");
}

std::string RelayProcess::stop() {
    if (!running()) {
        return "not running";
    }
    kill(pid_, SIGTERM);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    std::string ending;
    for (;;) {
        const pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            ending = describe(status);
            break;
        }
        if (std::chrono::steady_clock::now() > giveUp) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            ending = "killed after 5 s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return ending;
}

std::string RelayProcess::logTail() const {
    const std::string log = readFile(folder_ + "/relay.log");
    constexpr std::size_t tail = 2000;
    return log.size() > tail ? log.substr(log.size() - tail) : log;
}

std::uint64_t RelayProcess::receiveDrops(std::int32_t port) {
    std::istringstream table(readFile("/proc/net/udp"));
    std::string line;
    std::getline(table, line);
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port & 0xFFFF));
    std::uint64_t drops = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        fields >> slot >> local;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, wanted) != 0) {
            continue;
        }
        // The drop count is the line's last field.
        const auto last = line.find_last_not_of(' ');
        const auto begin = line.find_last_of(' ', last);
        drops += std::strtoull(line.c_str() + begin + 1, nullptr, 10);
    }
    return drops;
}
