#include "platform/UserDefaults.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Far more than eight settings ever need; a larger file is not ours to read whole.
constexpr std::size_t kMaxFileSize = 1 << 20;

constexpr std::string_view kBlanks = " \t\r";

const char* const kHeader[] = {
    "# Tandrel settings: one key=value per line, # starts a comment.",
    "# Edit only while Tandrel is not running; it rewrites this file on every change.",
    "# Escapes: \\\\ backslash, \\n line feed, \\r return, \\t tab, \\xHH any byte.",
};

void report(const std::string& text) {
    const std::string line = "tandrel: " + text + "\n";
    std::fputs(line.c_str(), stderr);
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

/// The length of the valid UTF-8 sequence of two to four bytes at `index`, or 0.
std::size_t utf8SequenceLength(std::string_view text, std::size_t index) {
    const auto byte = [&](std::size_t at) -> unsigned {
        return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u;
    };
    const auto continuation = [&](std::size_t at) {
        return (byte(at) & 0xC0u) == 0x80u;
    };
    const unsigned lead = byte(index);
    const unsigned second = byte(index + 1);
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(index + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const bool secondValid = lead == 0xE0   ? second >= 0xA0 && second <= 0xBF
                                 : lead == 0xED ? second >= 0x80 && second <= 0x9F
                                                : continuation(index + 1);
        return secondValid && continuation(index + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const bool secondValid = lead == 0xF0   ? second >= 0x90 && second <= 0xBF
                                 : lead == 0xF4 ? second >= 0x80 && second <= 0x8F
                                                : continuation(index + 1);
        return secondValid && continuation(index + 2) && continuation(index + 3) ? 4 : 0;
    }
    return 0;
}

void appendHexEscape(std::string& out, unsigned char byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
}

/// The file form of a key or value: readable where it can be, escaped where the reader would
/// otherwise take it differently (see the class comment).
std::string escaped(std::string_view text, bool isKey) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool atEdge = i == 0 || i + 1 == text.size();
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F || (byte == ' ' && atEdge) ||
                   (isKey && (byte == '=' || (byte == '#' && i == 0)))) {
            appendHexEscape(out, byte);
        } else if (byte >= 0x80) {
            const std::size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                appendHexEscape(out, byte);
            } else {
                out.append(text.substr(i, length));
                i += length;
                continue;
            }
        } else {
            out += static_cast<char>(byte);
        }
        ++i;
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/// The text that `escaped` stands for, or no string (with the reason) for a bad escape.
std::optional<std::string> unescaped(std::string_view text, std::string& error) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            error = "backslash at the end of the line";
            return std::nullopt;
        }
        switch (text[i]) {
        case '\\':
            out += '\\';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'x': {
            const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                error = "\\x needs two hex digits";
                return std::nullopt;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            error = std::string("unknown escape \\") + text[i];
            return std::nullopt;
        }
    }
    return out;
}

std::string entryLine(const std::string& key, const std::string& value) {
    return escaped(key, true) + "=" + escaped(value, false);
}

bool writeAll(int descriptor, const std::string& contents) {
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t result =
            ::write(descriptor, contents.data() + written, contents.size() - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            return false;
        written += static_cast<std::size_t>(result);
    }
    return true;
}

/// Replaces the file at `path` with `contents` so that the old or the new file survives a
/// crash at any moment. On failure, returns what failed and leaves no temporary file behind.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               const std::string& contents) {
    const std::filesystem::path folder =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        return "cannot create " + folder.string() + ": " + error.message();

    std::string temporary = path.string() + ".XXXXXX";
    const int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0)
        return "cannot create a temporary file in " + folder.string() + ": " + std::strerror(errno);
    const auto fail = [&](const char* step) -> std::optional<std::string> {
        const int savedErrno = errno;
        ::unlink(temporary.c_str());
        return std::string(step) + " " + temporary + ": " + std::strerror(savedErrno);
    };
    if (!writeAll(descriptor, contents)) {
        const int savedErrno = errno;
        ::close(descriptor);
        errno = savedErrno;
        return fail("cannot write");
    }
    if (::fsync(descriptor) != 0) {
        const int savedErrno = errno;
        ::close(descriptor);
        errno = savedErrno;
        return fail("cannot flush");
    }
    if (::close(descriptor) != 0)
        return fail("cannot close");
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        return fail("cannot rename");

    // The rename itself is durable only once the folder is flushed.
    const int folderDescriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor < 0)
        return "cannot open " + folder.string() + ": " + std::strerror(errno);
    const bool flushed = ::fsync(folderDescriptor) == 0;
    const int savedErrno = errno;
    ::close(folderDescriptor);
    if (!flushed)
        return "cannot flush " + folder.string() + ": " + std::strerror(savedErrno);
    return std::nullopt;
}

/// The file's bytes; no bytes (with nothing reported) when it does not exist, and no bytes
/// with a report when it cannot be read whole.
std::optional<std::string> readFile(const std::filesystem::path& path) {
    // Non-blocking, so that a FIFO put in the file's place cannot stall the start.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        if (errno != ENOENT)
            report("cannot read " + path.string() + ": " + std::strerror(errno));
        return std::nullopt;
    }
    struct stat status {};
    std::optional<std::string> contents;
    if (::fstat(descriptor, &status) != 0) {
        report("cannot read " + path.string() + ": " + std::strerror(errno));
    } else if (!S_ISREG(status.st_mode)) {
        report("cannot read " + path.string() + ": not a regular file");
    } else {
        std::string bytes;
        char chunk[8192];
        while (bytes.size() <= kMaxFileSize) {
            const ssize_t result = ::read(descriptor, chunk, sizeof chunk);
            if (result < 0 && errno == EINTR)
                continue;
            if (result < 0) {
                report("cannot read " + path.string() + ": " + std::strerror(errno));
                break;
            }
            if (result == 0) {
                contents = std::move(bytes);
                break;
            }
            bytes.append(chunk, static_cast<std::size_t>(result));
        }
        if (!contents && bytes.size() > kMaxFileSize)
            report("cannot read " + path.string() + ": larger than 1 MiB");
    }
    ::close(descriptor);
    return contents;
}

} // namespace

UserDefaults& UserDefaults::standardUserDefaults() {
    static UserDefaults store(standardPath());
    return store;
}

std::filesystem::path UserDefaults::standardPath() {
    std::filesystem::path base;
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] == '/') {
        base = configHome;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            const passwd* entry = ::getpwuid(::getuid());
            home = entry != nullptr ? entry->pw_dir : nullptr;
        }
        // With no home folder at all, the settings are kept below the working folder.
        base = std::filesystem::path(home != nullptr ? home : ".") / ".config";
    }
    return base / "tandrel" / "tandrel.conf";
}

UserDefaults::UserDefaults(std::filesystem::path path) : path_(std::move(path)) {
    load();
}

std::int32_t UserDefaults::integerForKey(std::string_view key) const {
    const std::optional<std::string> text = stringForKey(key);
    if (!text)
        return 0;
    std::int32_t value = 0;
    const char* const end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    return error == std::errc() && stop == end ? value : 0;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    const std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end())
        return std::nullopt;
    return found->second;
}

void UserDefaults::setInteger(std::int32_t value, std::string_view forKey) {
    setValue(std::to_string(value), forKey);
}

void UserDefaults::setValue(const std::optional<std::string>& value, std::string_view forKey) {
    const std::lock_guard lock(mutex_);
    const auto found = values_.find(forKey);
    bool changed = true;
    if (value) {
        if (found == values_.end()) {
            values_.emplace(std::string(forKey), *value);
            lines_.push_back(Line{std::string(forKey), {}});
        } else if (found->second != *value) {
            found->second = *value;
        } else {
            changed = false;
        }
    } else if (found != values_.end()) {
        values_.erase(found);
        std::erase_if(lines_, [&](const Line& line) { return line.key == forKey; });
    } else {
        changed = false;
    }
    // The file already says what it would be rewritten with, unless its last write failed. A
    // start applies all eight stored settings again, which would cost eight synced writes.
    if (changed || failureReported_)
        save();
}

void UserDefaults::load() {
    const std::optional<std::string> contents = readFile(path_);
    if (!contents || contents->empty()) {
        // A new file starts with a few lines for the person who opens it.
        for (const char* line : kHeader)
            lines_.push_back(Line{std::nullopt, line});
        return;
    }
    std::string_view rest = *contents;
    for (std::size_t number = 1; !rest.empty(); ++number) {
        const auto end = rest.find('\n');
        const std::string_view text = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);

        const std::string_view content = trimmed(text);
        if (content.empty() || content.front() == '#') {
            lines_.push_back(Line{std::nullopt, std::string(text)});
            continue;
        }
        std::string error = "no '=' between key and value";
        const auto separator = content.find('=');
        std::optional<std::string> key;
        std::optional<std::string> value;
        if (separator != std::string_view::npos) {
            key = unescaped(trimmed(content.substr(0, separator)), error);
            if (key)
                value = unescaped(trimmed(content.substr(separator + 1)), error);
        }
        if (!key || !value) {
            report(path_.string() + ":" + std::to_string(number) + ": line ignored: " + error);
            lines_.push_back(Line{std::nullopt, std::string(text)});
            continue;
        }
        const auto [entry, inserted] = values_.insert_or_assign(*key, std::move(*value));
        if (inserted)
            lines_.push_back(Line{entry->first, {}});
    }
}

void UserDefaults::save() {
    std::string contents;
    for (const Line& line : lines_) {
        contents += line.key ? entryLine(*line.key, values_.at(*line.key)) : line.text;
        contents += '\n';
    }
    const std::optional<std::string> failure = writeFileAtomically(path_, contents);
    if (!failure) {
        failureReported_ = false;
        return;
    }
    if (!failureReported_)
        report("cannot save settings to " + path_.string() + " (" + *failure +
               "); changed settings stay in force until the relay ends");
    failureReported_ = true;
}
