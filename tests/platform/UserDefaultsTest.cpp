#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tandrel-defaults-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        path_ = folder_ / "tandrel" / "tandrel.conf";
    }
    void TearDown() override { fs::remove_all(folder_); }

    void writeFile(const std::string& contents) const {
        fs::create_directories(path_.parent_path());
        std::ofstream(path_, std::ios::binary) << contents;
    }
    std::string readFile() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream contents;
        contents << in.rdbuf();
        return contents.str();
    }
    std::vector<std::string> folderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_.parent_path()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    fs::path folder_;
    fs::path path_;
};

TEST_F(UserDefaultsTest, EveryStringReadsBackExactlyAfterARestart) {
    const std::vector<std::string> strings = {
        "",
        "localhost",
        " ",
        "  leading and trailing  ",
        "a=b=c",
        "#not a comment",
        "back\\slash \\n \\x41 \\",
        "line\nbreak\r\nand\rreturn",
        "tab\tinside\t",
        "h\xC3\xB6st \xE2\x86\x92 \xF0\x9F\x8E\x9B",                // valid UTF-8
        "\xFF\xFE \xC3 \xE0\x80\x80 \xED\xA0\x80 \xF4\x90\x80\x80", // not UTF-8
        std::string("nul\0inside", 10),
        "\x01\x1F\x7F",
    };
    {
        UserDefaults store(path_);
        for (std::size_t i = 0; i < strings.size(); ++i)
            store.setValue(strings[i], "key" + std::to_string(i));
        // Keys are escaped the same way.
        for (const std::string& key :
             {std::string("=key="), std::string("#key"), std::string(" key "), std::string("")})
            store.setValue("value of " + key, key);
    }
    const UserDefaults reloaded(path_);
    for (std::size_t i = 0; i < strings.size(); ++i)
        EXPECT_EQ(reloaded.stringForKey("key" + std::to_string(i)), strings[i]) << i;
    for (const std::string& key :
         {std::string("=key="), std::string("#key"), std::string(" key "), std::string("")})
        EXPECT_EQ(reloaded.stringForKey(key), "value of " + key);
}

TEST_F(UserDefaultsTest, FileIsPlainKeyValueLinesAfterAHeader) {
    UserDefaults store(path_);
    store.setInteger(5000, "orvaneSendPort");
    store.setValue("localhost", "device1Host");
    store.setValue(" two words ", "device2Host");
    const std::string contents = readFile();
    EXPECT_EQ(contents.substr(contents.find("\norvane") + 1),
              "orvaneSendPort=5000\ndevice1Host=localhost\ndevice2Host=\\x20two words\\x20\n");
    EXPECT_EQ(contents.front(), '#');
}

TEST_F(UserDefaultsTest, ReadsWhatAPersonWrites) {
    writeFile("# comment\n"
              "   # indented comment = not a key\n"
              "\n"
              "orvaneSendPort = 6000\r\n"
              "\tdevice1Host=  studio-a  \n"
              "device2Host=first\n"
              "device2Host=second\n"
              "device2SendPort=6021"); // no line end at the end
    const UserDefaults store(path_);
    EXPECT_EQ(store.integerForKey("orvaneSendPort"), 6000);
    EXPECT_EQ(store.stringForKey("device1Host"), "studio-a");
    EXPECT_EQ(store.stringForKey("device2Host"), "second");
    EXPECT_EQ(store.integerForKey("device2SendPort"), 6021);
    EXPECT_EQ(store.stringForKey("# indented comment"), std::nullopt);
    EXPECT_EQ(store.stringForKey("missing"), std::nullopt);
    EXPECT_EQ(store.integerForKey("missing"), 0);
}

TEST_F(UserDefaultsTest, OnlyADecimalSigned32BitIntegerReadsAsAnInteger) {
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"5000", 5000},
        {"-1", -1},
        {"0", 0},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", 0},
        {"-2147483649", 0},
        {"99999999999999999999", 0},
        {"+5", 0},
        {"5x", 0},
        {"0x10", 0},
        {"1e3", 0},
        {"5.0", 0},
        {"", 0},
        {"\\x205000", 0},
        {"50\\x0000", 0},
        {"--5", 0},
    };
    std::string contents;
    for (std::size_t i = 0; i < cases.size(); ++i)
        contents += "port" + std::to_string(i) + "=" + cases[i].first + "\n";
    writeFile(contents);
    const UserDefaults store(path_);
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(store.integerForKey("port" + std::to_string(i)), cases[i].second)
            << cases[i].first;
}

TEST_F(UserDefaultsTest, IntegersRoundTripAtTheEdgesOfTheRange) {
    {
        UserDefaults store(path_);
        store.setInteger(INT32_MIN, "low");
        store.setInteger(INT32_MAX, "high");
        store.setInteger(0, "zero");
    }
    const UserDefaults reloaded(path_);
    EXPECT_EQ(reloaded.integerForKey("low"), INT32_MIN);
    EXPECT_EQ(reloaded.integerForKey("high"), INT32_MAX);
    EXPECT_EQ(reloaded.stringForKey("zero"), "0");
}

TEST_F(UserDefaultsTest, UnparsableLinesAreReportedWithFileAndLineThenIgnoredAndKept) {
    const std::string contents = "orvaneSendPort=6000\n"
                                 "no separator here\n"
                                 "device1Host=bad \\q escape\n"
                                 "device2Host=short \\x4\n"
                                 "tail=\\\n"
                                 "bad\\key=1\n"
                                 "# a comment the user wrote\n";
    writeFile(contents);
    testing::internal::CaptureStderr();
    UserDefaults store(path_);
    const std::string errors = testing::internal::GetCapturedStderr();
    for (int line : {2, 3, 4, 5, 6})
        EXPECT_NE(errors.find(path_.string() + ":" + std::to_string(line) + ": "),
                  std::string::npos)
            << errors;
    EXPECT_EQ(errors.find(":1: "), std::string::npos);
    EXPECT_EQ(errors.find(":7: "), std::string::npos);
    EXPECT_EQ(store.integerForKey("orvaneSendPort"), 6000);
    for (const char* key : {"device1Host", "device2Host", "tail", "bad\\key", "bad"})
        EXPECT_EQ(store.stringForKey(key), std::nullopt) << key;

    // A rewrite keeps what the person wrote, so nothing is lost to a typo.
    store.setValue("localhost", "device1Host");
    EXPECT_EQ(readFile(),
              "orvaneSendPort=6000\n" + contents.substr(20) + "device1Host=localhost\n");
}

TEST_F(UserDefaultsTest, FirstWriteCreatesTheFoldersAndRemovingAKeyDropsItsLine) {
    const fs::path deep = folder_ / "a" / "b" / "tandrel.conf";
    {
        UserDefaults store(deep);
        EXPECT_EQ(store.stringForKey("device1Host"), std::nullopt);
        store.setValue("localhost", "device1Host");
        store.setInteger(5010, "device1ListenPort");
        store.setValue(std::nullopt, "device1Host");
        store.setValue(std::nullopt, "never set");
        EXPECT_EQ(store.stringForKey("device1Host"), std::nullopt);
    }
    const UserDefaults reloaded(deep);
    EXPECT_EQ(reloaded.stringForKey("device1Host"), std::nullopt);
    EXPECT_EQ(reloaded.integerForKey("device1ListenPort"), 5010);
    const auto entries = std::distance(fs::directory_iterator(deep.parent_path()), {});
    EXPECT_EQ(entries, 1) << "no temporary file is left behind";
}

TEST_F(UserDefaultsTest, FailedWriteIsReportedOnceAndTheValueStaysInForce) {
    // A regular file where the folder should be makes every write fail, even for root.
    std::ofstream(folder_ / "tandrel") << "in the way";
    testing::internal::CaptureStderr();
    UserDefaults store(path_);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot read"), std::string::npos);
    testing::internal::CaptureStderr();
    store.setValue("first", "device1Host");
    store.setInteger(7000, "device1SendPort");
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("cannot save settings to " + path_.string()), std::string::npos);
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << "one line: " << errors;
    EXPECT_EQ(store.stringForKey("device1Host"), "first");
    EXPECT_EQ(store.integerForKey("device1SendPort"), 7000);

    // Once writing works again, everything in force is saved; a later failure is news again.
    fs::remove(folder_ / "tandrel");
    testing::internal::CaptureStderr();
    store.setValue("second", "device1Host");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(UserDefaults(path_).integerForKey("device1SendPort"), 7000);
    fs::remove_all(folder_ / "tandrel");
    std::ofstream(folder_ / "tandrel") << "in the way";
    testing::internal::CaptureStderr();
    store.setValue("third", "device1Host");
    errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("cannot save settings"), std::string::npos);
}

TEST_F(UserDefaultsTest, SettingWhatIsStoredWritesNothingUnlessTheLastWriteFailed) {
    // Every write replaces the file by renaming a new one over it: a new inode.
    const auto inode = [&] {
        struct stat status {};
        EXPECT_EQ(::stat(path_.c_str(), &status), 0);
        return status.st_ino;
    };
    UserDefaults store(path_);
    store.setValue("localhost", "device1Host");
    const auto written = inode();
    store.setValue("localhost", "device1Host");
    store.setValue(std::nullopt, "never set");
    EXPECT_EQ(inode(), written);
    store.setValue("127.0.0.1", "device1Host");
    EXPECT_NE(inode(), written);

    // A value set while writing failed is written by the next set, even of the same value.
    fs::remove_all(path_.parent_path());
    std::ofstream(path_.parent_path()) << "in the way";
    testing::internal::CaptureStderr();
    store.setInteger(7000, "device1SendPort");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot save"), std::string::npos);
    fs::remove(path_.parent_path());
    store.setInteger(7000, "device1SendPort");
    EXPECT_EQ(UserDefaults(path_).integerForKey("device1SendPort"), 7000);
}

TEST_F(UserDefaultsTest, WriteThatRunsOutOfSpaceLeavesTheOldFileWhole) {
    UserDefaults store(path_);
    store.setValue("old", "device1Host");
    const std::string before = readFile();

    // A file size limit makes write() fail part-way, as a full disk does.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = before.size() + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStderr();
    store.setValue(std::string(200, 'x'), "device1Host");
    const std::string errors = testing::internal::GetCapturedStderr();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_NE(errors.find("cannot write"), std::string::npos) << errors;
    EXPECT_EQ(readFile(), before);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"tandrel.conf"});
    EXPECT_EQ(store.stringForKey("device1Host"), std::string(200, 'x'));
}

TEST_F(UserDefaultsTest, FileThatIsNoRegularFileOrTooLargeIsReportedAndReadsEmpty) {
    fs::create_directories(path_.parent_path());
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    {
        const UserDefaults store(path_); // must not block on the FIFO
        EXPECT_EQ(store.stringForKey("device1Host"), std::nullopt);
    }
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not a regular file"), std::string::npos);

    fs::remove(path_);
    writeFile("device1Host=big\n" + std::string(2 << 20, '#'));
    testing::internal::CaptureStderr();
    UserDefaults store(path_);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("larger than 1 MiB"), std::string::npos);
    EXPECT_EQ(store.stringForKey("device1Host"), std::nullopt);
    store.setValue("small", "device1Host");
    EXPECT_EQ(UserDefaults(path_).stringForKey("device1Host"), "small");
}

// Random files made of the format's special characters: reading never fails, and a rewrite
// never changes what the file means.
TEST_F(UserDefaultsTest, RewritingAnyFileKeepsItsMeaning) {
    const std::vector<std::string> pieces = {"=",
                                             "\\",
                                             "\\x",
                                             "\\x4",
                                             "\\x41",
                                             "\\n",
                                             "\\\\",
                                             "#",
                                             "\n",
                                             "\r",
                                             " ",
                                             "\t",
                                             "k",
                                             "v",
                                             "5",
                                             "-",
                                             "\xFF",
                                             "\xC3\xB6",
                                             std::string(1, '\0'),
                                             "\x7F",
                                             "\\q",
                                             "key=value\n"};
    std::mt19937 random(20261211);
    for (int round = 0; round < 300; ++round) {
        std::string contents;
        const int count = static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            contents += pieces[random() % pieces.size()];
        writeFile(contents);

        testing::internal::CaptureStderr();
        UserDefaults first(path_);
        const std::vector<std::string> keys = {"", "k", "kk", "key", "k k", "=", "#", "v", "\t"};
        std::vector<std::optional<std::string>> before;
        for (const std::string& key : keys)
            before.push_back(first.stringForKey(key));
        first.setValue("marker", "marker key");
        const UserDefaults second(path_);
        testing::internal::GetCapturedStderr();

        for (std::size_t i = 0; i < keys.size(); ++i)
            ASSERT_EQ(second.stringForKey(keys[i]), before[i])
                << "key '" << keys[i] << "' in round " << round;
        ASSERT_EQ(second.stringForKey("marker key"), "marker");
    }
}

TEST(UserDefaultsStandardPath, FollowsXdgConfigHomeThenHome) {
    const auto saved = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    };
    const auto savedXdg = saved("XDG_CONFIG_HOME");
    const auto savedHome = saved("HOME");

    ::setenv("HOME", "/home/tech", 1);
    ::setenv("XDG_CONFIG_HOME", "/srv/config", 1);
    EXPECT_EQ(UserDefaults::standardPath(), "/srv/config/tandrel/tandrel.conf");
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1); // not absolute: ignored
    EXPECT_EQ(UserDefaults::standardPath(), "/home/tech/.config/tandrel/tandrel.conf");
    ::setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(UserDefaults::standardPath(), "/home/tech/.config/tandrel/tandrel.conf");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(UserDefaults::standardPath(), "/home/tech/.config/tandrel/tandrel.conf");

    restore("XDG_CONFIG_HOME", savedXdg);
    restore("HOME", savedHome);
}

} // namespace
