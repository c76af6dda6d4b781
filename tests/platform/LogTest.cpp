#include "platform/Log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

/// What follows "YYYY-MM-DD hh:mm:ss.mmm tandrel[pid:tid] " in `written`, with the thread id;
/// none when the prefix is malformed or names another process.
struct Entry {
    long thread;
    std::string text;
};
std::optional<Entry> parse(std::string_view written) {
    constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (written.size() < kShape.size())
        return std::nullopt;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(written[i])) != 0;
        if (kShape[i] == 'd' ? !digit : written[i] != kShape[i])
            return std::nullopt;
    }
    written.remove_prefix(kShape.size());
    const std::string process = "tandrel[" + std::to_string(getpid()) + ":";
    if (written.substr(0, process.size()) != process)
        return std::nullopt;
    written.remove_prefix(process.size());
    const std::size_t close = written.find("] ");
    if (close == 0 || close == std::string_view::npos)
        return std::nullopt;
    const std::string thread(written.substr(0, close));
    if (thread.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return Entry{std::stol(thread), std::string(written.substr(close + 2))};
}

TEST(Log, WritesOneLinePrefixedWithTimeProcessAndThread) {
    testing::internal::CaptureStderr();
    Log::write("DISPATCH: (null)");
    const std::string written = testing::internal::GetCapturedStderr();
    const auto entry = parse(written);
    ASSERT_TRUE(entry.has_value()) << written;
    EXPECT_EQ(entry->thread, static_cast<long>(gettid()));
    EXPECT_EQ(entry->text, "DISPATCH: (null)\n");
}

TEST(Log, TextWithLineBreaksStaysOneEntry) {
    testing::internal::CaptureStderr();
    Log::write("DISPATCH: /a ,i\n    1");
    const std::string written = testing::internal::GetCapturedStderr();
    const auto entry = parse(written);
    ASSERT_TRUE(entry.has_value()) << written;
    EXPECT_EQ(entry->text, "DISPATCH: /a ,i\n    1\n");
}

TEST(Log, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 100;
    // Longer than a pipe's atomic write, so that only one write per line keeps lines whole.
    constexpr std::size_t kTextLength = 6000;
    testing::internal::CaptureStderr();
    std::vector<std::thread> writers;
    for (int thread = 0; thread < kThreads; ++thread) {
        writers.emplace_back([thread] {
            const std::string text(kTextLength, static_cast<char>('a' + thread));
            for (int line = 0; line < kLinesPerThread; ++line)
                Log::write(text);
        });
    }
    for (auto& writer : writers)
        writer.join();
    std::istringstream written(testing::internal::GetCapturedStderr());

    int lines[kThreads] = {};
    std::string line;
    while (std::getline(written, line)) {
        const auto entry = parse(line);
        ASSERT_TRUE(entry.has_value()) << line.substr(0, 80);
        ASSERT_EQ(entry->text.size(), kTextLength) << line.substr(0, 80);
        const char letter = entry->text[0];
        ASSERT_TRUE(letter >= 'a' && letter < 'a' + kThreads);
        ASSERT_EQ(entry->text.find_first_not_of(letter), std::string::npos);
        ++lines[letter - 'a'];
    }
    for (int count : lines)
        EXPECT_EQ(count, kLinesPerThread);
}

} // namespace
