// The real tandrel binary, started as a child process for end-to-end tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

class RelayProcess {
public:
    /// Starts the binary with XDG_CONFIG_HOME and HOME set to `configHome`, standard error piped
    /// back to the test and the signals at their defaults.
    explicit RelayProcess(const std::filesystem::path& configHome);
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;
    /// Kills and reaps the process if it still runs.
    ~RelayProcess();

    /// Waits until standard error has shown `text`. False when the process closes its standard
    /// error first or the time-out passes.
    bool waitForOutput(std::string_view text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    /// Everything read from standard error so far.
    const std::string& output() const noexcept { return output_; }

    void signal(int number) const;
    /// The wait status once the process has ended, or none when it has not ended in time.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    /// Reads what standard error holds, waiting at most until the deadline for more; false at
    /// end of file or deadline.
    bool readUntil(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int stderr_ = -1;
    std::string output_;
    std::optional<int> status_;
};
