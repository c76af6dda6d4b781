// The per-user store of the relay's settings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// A persistent map from keys to text, kept in one plain-text file that a person can read and
/// edit while the relay is not running.
///
/// File format: one `key=value` per line; a line whose first non-blank character is `#` is a
/// comment and a blank line is ignored. Blanks (space, tab, CR) around the key and around the
/// value are ignored, so `key = value` reads like `key=value`. In keys and values, `\\` stands
/// for a backslash, `\n` `\r` `\t` for line feed, carriage return and tab, and `\xHH` (two hex
/// digits) for any byte. The store writes every other byte as it is, except control bytes,
/// bytes that are not part of valid UTF-8, and a blank at either end of a value (each written
/// as `\xHH`), and `=` or a leading `#` in a key; so every string, the empty one included,
/// reads back exactly as it was set. A line that does not parse is reported on standard error
/// with the file's name and the line number, ignored, and kept as it is in the file. When a key
/// appears twice, the later line wins.
///
/// Every set rewrites the file at once and atomically: a temporary file in the same folder,
/// flushed to disk, renamed over the old file, then the folder flushed; so a crash at any
/// moment leaves the old or the new file. Missing folders are created. A write that fails is
/// reported once on standard error (again only after a write has succeeded since) and the value
/// stays in force in memory. Comments and the order of lines survive a rewrite.
///
/// All operations are safe to call from any thread.
class UserDefaults {
public:
    /// The store of the user running the process, kept in
    /// `${XDG_CONFIG_HOME:-$HOME/.config}/tandrel/tandrel.conf`; made and loaded at first use.
    static UserDefaults& standardUserDefaults();
    /// Where the standard store lives. XDG_CONFIG_HOME counts only when it is an absolute path;
    /// without HOME, the home folder comes from the user database.
    static std::filesystem::path standardPath();

    /// A store kept in the file at `path`, loaded now; a missing file reads as an empty store.
    explicit UserDefaults(std::filesystem::path path);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

    /// The value under `key` as a decimal signed 32-bit integer; 0 when there is no value or
    /// it is anything else (blanks, a sign other than a leading `-`, out of range).
    std::int32_t integerForKey(std::string_view key) const;
    /// The value under `key`; no string when the key holds nothing.
    std::optional<std::string> stringForKey(std::string_view key) const;

    /// Stores the integer's decimal text under the key and writes the file if that changed it.
    void setInteger(std::int32_t value, std::string_view forKey);
    /// Stores the string under the key, or removes the key for no string, and writes the file if
    /// that changed it (or if its last write failed).
    void setValue(const std::optional<std::string>& value, std::string_view forKey);

private:
    /// One line of the file: an entry (its key; the text comes from the value in force) or any
    /// other line, kept verbatim.
    struct Line {
        std::optional<std::string> key;
        std::string text;
    };

    void load();
    void save();

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    std::map<std::string, std::string, std::less<>> values_;
    bool failureReported_ = false;
};
