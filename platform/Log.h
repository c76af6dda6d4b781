// The platform log: timestamped lines on standard error.
#pragma once

#include <string_view>

/// Writes diagnostic lines to standard error, each prefixed with the local time and the
/// process: "2026-12-11 07:10:17.123 tandrel[pid:tid] text". Safe on any thread.
class Log {
public:
    /// The process name in the prefix.
    static constexpr std::string_view kProcessName = "tandrel";

    Log() = delete;

    /// Writes the prefix, the text and a line end with one system call, so that lines written
    /// by different threads never interleave. A text with line breaks of its own (a packet's
    /// multi-line form) stays one entry. Never throws: a line that cannot be made or written
    /// is lost.
    static void write(std::string_view text) noexcept;
};
