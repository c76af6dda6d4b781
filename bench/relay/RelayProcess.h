#pragma once

#include "RelaySettings.h"

#include <sys/types.h>

#include <cstdint>
#include <string>

// One relay under test, run as a child process with its own temporary settings folder and log
// file. The shipped relay reads its settings from `tandrel/tandrel.conf` under XDG_CONFIG_HOME; the
// reference relays take the same settings as "key=value" arguments. Only this process's own child
// is ever signalled, by its process id.
class RelayProcess {
public:
    enum class Configuration { settingsFile, arguments };

    RelayProcess(const std::string& executable, Configuration configuration,
                 const RelaySettings& settings);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    bool running() const noexcept { return pid_ > 0; }
    pid_t pid() const noexcept { return pid_; }

    // User plus system CPU time of all its threads so far, in seconds (its process CPU clock).
    double cpuSeconds() const;
    // Peak and current resident memory in KiB (VmHWM and VmRSS of /proc/<pid>/status).
    std::uint64_t peakResidentKiB() const;
    std::uint64_t residentKiB() const;

    // Asks the relay to stop (SIGTERM) and waits up to five seconds, then kills it. Returns how
    // it ended, e.g. "exit 0", "killed after 5 s", "signal 11".
    std::string stop();
    // The last lines the relay wrote to standard output and error.
    std::string logTail() const;

    // Datagrams the kernel dropped at a bound UDP port because its receive queue was full
    // (/proc/net/udp, summed over the sockets bound to the port).
    static std::uint64_t receiveDrops(std::int32_t port);

private:
    std::uint64_t statusField(const char* name) const;

    std::string folder_;
    pid_t pid_ = -1;
};
