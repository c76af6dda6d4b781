#include "RelayProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

RelayProcess::RelayProcess(const std::filesystem::path& configHome) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view text = *variable;
        if (!text.starts_with("XDG_CONFIG_HOME=") && !text.starts_with("HOME="))
            variables.emplace_back(text);
    }
    variables.push_back("XDG_CONFIG_HOME=" + configHome.string());
    variables.push_back("HOME=" + configHome.string());
    std::vector<char*> environment;
    for (std::string& variable : variables)
        environment.push_back(variable.data());
    environment.push_back(nullptr);

    std::string binary = TANDREL_BINARY;
    char* arguments[] = {binary.data(), nullptr};
    const int result =
        ::posix_spawn(&pid_, binary.c_str(), &actions, &attributes, arguments, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipe[1]);
    stderr_ = pipe[0];
    if (result != 0) {
        ::close(stderr_);
        throw std::runtime_error("cannot start " + binary + ": " + std::strerror(result));
    }
    ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
}

RelayProcess::~RelayProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(stderr_);
}

bool RelayProcess::readUntil(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        char chunk[4096];
        const ssize_t size = ::read(stderr_, chunk, sizeof chunk);
        if (size > 0) {
            output_.append(chunk, static_cast<std::size_t>(size));
            return true;
        }
        if (size == 0)
            return false;
        if (errno != EAGAIN && errno != EINTR)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd ready{stderr_, POLLIN, 0};
        ::poll(&ready, 1, static_cast<int>(left.count()));
    }
}

bool RelayProcess::waitForOutput(std::string_view text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
        if (!readUntil(deadline))
            return false;
    }
    return true;
}

void RelayProcess::signal(int number) const {
    ::kill(pid_, number);
}

std::optional<int> RelayProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (status_)
        return status_;
    // The process closes its standard error only when it ends.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (readUntil(deadline)) {
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
        // Standard error may close a moment before the process is reapable.
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        ::waitpid(pid_, &status, 0);
    }
    status_ = status;
    return status_;
}
