#include "platform/Log.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>

#include <unistd.h>

namespace {

std::string lineFor(std::string_view text) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char prefix[96];
    const std::size_t dateLength =
        std::strftime(prefix, sizeof prefix, "%Y-%m-%d %H:%M:%S", &local);
    const int prefixLength = std::snprintf(
        prefix + dateLength, sizeof prefix - dateLength, ".%03ld %.*s[%ld:%ld] ",
        now.tv_nsec / 1000000L, static_cast<int>(Log::kProcessName.size()),
        Log::kProcessName.data(), static_cast<long>(getpid()), static_cast<long>(gettid()));

    std::string line;
    line.reserve(dateLength + static_cast<std::size_t>(prefixLength) + text.size() + 1);
    line.append(prefix, dateLength + static_cast<std::size_t>(prefixLength));
    line.append(text);
    line.push_back('\n');
    return line;
}

} // namespace

void Log::write(std::string_view text) noexcept {
    std::string line;
    try {
        line = lineFor(text);
    } catch (const std::exception&) {
        return;
    }
    const char* next = line.data();
    std::size_t left = line.size();
    // One write carries the line; the loop only finishes a write that a signal or a full pipe
    // cut short.
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}
