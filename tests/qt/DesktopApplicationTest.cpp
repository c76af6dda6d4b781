// The shipped binary, started without a display.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/wait.h>

#include "OscBytes.h"
#include "RelayProcess.h"
#include "TemporaryFolder.h"
#include "UdpPeer.h"
#include "platform/UserDefaults.h"

namespace {

constexpr const char* kOffscreenNotice = "running without a window, on Qt's offscreen platform";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Starts the binary with no display in its environment and QT_QPA_PLATFORM as given (unset
// when empty).
std::unique_ptr<RelayProcess> startWithoutDisplay(const std::filesystem::path& home,
                                                  const std::string& platform) {
    const char* const chosen = std::getenv("QT_QPA_PLATFORM");
    const std::string testPlatform = chosen != nullptr ? chosen : "offscreen";
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    if (platform.empty())
        ::unsetenv("QT_QPA_PLATFORM");
    else
        ::setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
    auto relay = std::make_unique<RelayProcess>(home);
    ::setenv("QT_QPA_PLATFORM", testPlatform.c_str(), 1);
    return relay;
}

TEST(DesktopApplication, WithoutADisplayRunsOffscreenRelaysAndSaysSoOnce) {
    const struct {
        const char* platform;
        int signal;
        std::size_t notices;
    } runs[] = {
        {"", SIGTERM, 1},
        {"", SIGINT, 1},
        // A platform chosen by the user is theirs: nothing to say.
        {"offscreen", SIGTERM, 0},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(std::string("QT_QPA_PLATFORM=") + run.platform);
        TemporaryFolder home;
        UdpPeer orvane;
        UdpPeer device;
        const auto listen = UdpPeer::unusedPorts(3);
        {
            UserDefaults store(home.path() / "tandrel" / "tandrel.conf");
            store.setInteger(orvane.port(), "orvaneSendPort");
            store.setInteger(listen[0], "orvaneListenPort");
            store.setValue("127.0.0.1", "device1Host");
            store.setInteger(device.port(), "device1SendPort");
            store.setInteger(listen[1], "device1ListenPort");
            store.setValue("", "device2Host");
            store.setInteger(listen[2], "device2ListenPort");
        }
        const auto relay = startWithoutDisplay(home.path(), run.platform);
        ASSERT_TRUE(relay->waitForOutput("tandrel: relaying")) << relay->output();
        EXPECT_EQ(occurrences(relay->output(), kOffscreenNotice), run.notices) << relay->output();

        const Bytes cue = OscBytes::intMessage("/cue/go", 3);
        orvane.sendTo(listen[0], cue);
        EXPECT_EQ(device.receive(), cue);

        relay->signal(run.signal);
        const auto status = relay->waitForExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << relay->output();
        EXPECT_TRUE(UdpPeer::portIsFree(listen[0]));
    }
}

} // namespace
