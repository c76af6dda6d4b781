// The real tandrel binary, with its own settings folder and real loopback sockets.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "OscBytes.h"
#include "RelayPeers.h"
#include "RelayProcess.h"
#include "TemporaryFolder.h"
#include "UdpPeer.h"
#include "platform/UserDefaults.h"

namespace {

constexpr auto bundle = &OscBytes::bundle;
constexpr auto concatenated = &OscBytes::concatenated;
constexpr auto intMessage = &OscBytes::intMessage;
constexpr auto stringMessage = &OscBytes::stringMessage;

constexpr const char* kStarted = "tandrel: relaying";

class RelayEndToEnd : public ::testing::Test, protected RelayPeers {
protected:
    std::filesystem::path settingsPath() const { return home_.path() / "tandrel" / "tandrel.conf"; }

    /// Stores settings that aim the relay at the peers and listen on free ports.
    void storeRoutableSettings() {
        UserDefaults settings(settingsPath());
        RelayPeers::storeRoutableSettings(settings);
    }

    std::unique_ptr<RelayProcess> start() {
        auto relay = std::make_unique<RelayProcess>(home_.path());
        EXPECT_TRUE(relay->waitForOutput(kStarted)) << relay->output();
        return relay;
    }

    /// Ends the relay as a terminal or a service manager would, and checks it ended cleanly:
    /// status 0 (under the sanitizers, also no leak and no error) and its ports free.
    void stop(RelayProcess& relay, int signal = SIGTERM) {
        relay.signal(signal);
        const std::optional<int> status = relay.waitForExit();
        ASSERT_TRUE(status) << "still running after the signal\n" << relay.output();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status << "\n"
                                                                     << relay.output();
    }

    TemporaryFolder home_;
};

TEST_F(RelayEndToEnd, RelaysMessagesAndBundlesFromOrvaneToBothDevicesFreshlyEncodedInOrder) {
    storeRoutableSettings();
    const auto relay = start();

    const Bytes plain = intMessage("/fader/1", 64);
    const Bytes cue = stringMessage("/cue/go", "12.5");
    // Bytes after the last argument are not part of the message, and a time tag's fraction
    // is not kept: what leaves is the packet encoded anew.
    const Bytes trailing = concatenated(cue, {0xDE, 0xAD, 0xBE, 0xEF});
    const Bytes timed = bundle(0x5C000064, 0x80000000, {plain, cue});
    const Bytes timedFresh = bundle(0x5C000064, 0, {plain, cue});

    std::vector<Bytes> sent = {plain, trailing, timed};
    std::vector<Bytes> expected = {plain, cue, timedFresh};
    for (std::int32_t i = 0; i < 200; ++i) {
        sent.push_back(intMessage("/sequence", i));
        expected.push_back(sent.back());
    }
    for (const Bytes& datagram : sent)
        orvane_.sendTo(orvaneListen_, datagram);
    for (UdpPeer* device : {&device1_, &device2_}) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const std::optional<Bytes> received = device->receive();
            ASSERT_TRUE(received) << "datagram " << i << " missing\n" << relay->output();
            ASSERT_EQ(*received, expected[i]) << "datagram " << i;
        }
    }
    stop(*relay);
}

TEST_F(RelayEndToEnd, DatagramsFromEitherDeviceReachOrvaneAndNeverTheOtherDevice) {
    storeRoutableSettings();
    const auto relay = start();

    const Bytes fromDevice1 = intMessage("/device/1", 1);
    const Bytes fromDevice2 = intMessage("/device/2", 2);
    device1_.sendTo(device1Listen_, fromDevice1);
    EXPECT_EQ(orvane_.receive(), fromDevice1);
    device2_.sendTo(device2Listen_, fromDevice2);
    EXPECT_EQ(orvane_.receive(), fromDevice2);

    // Both were routed before this one, so it is the first either device sees.
    const Bytes fence = intMessage("/fence", 3);
    orvane_.sendTo(orvaneListen_, fence);
    EXPECT_EQ(device1_.receive(), fence);
    EXPECT_EQ(device2_.receive(), fence);
    stop(*relay);
}

TEST_F(RelayEndToEnd, DatagramsThatDoNotDecodeAreNotRelayed) {
    storeRoutableSettings();
    const auto relay = start();

    const std::vector<Bytes> undecodable = {
        {},                                                       // empty
        {'#', 'b', 'u', 'n'},                                     // bundle head cut short
        {'/', 'a', 0, 0},                                         // no type tags
        {'/', 'a', 0, 0, ',', 'h', 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, // unsupported type
        {'/', 'a', 0, 0, ',', 'i', 0, 0, 0, 0, 0},                // int32 cut short
    };
    for (const Bytes& datagram : undecodable) {
        orvane_.sendTo(orvaneListen_, datagram);
        device1_.sendTo(device1Listen_, datagram);
    }
    const Bytes fromOrvane = intMessage("/valid/orvane", 1);
    const Bytes fromDevice = intMessage("/valid/device", 2);
    orvane_.sendTo(orvaneListen_, fromOrvane);
    device1_.sendTo(device1Listen_, fromDevice);
    EXPECT_EQ(device1_.receive(), fromOrvane);
    EXPECT_EQ(device2_.receive(), fromOrvane);
    EXPECT_EQ(orvane_.receive(), fromDevice);
    stop(*relay);
}

TEST_F(RelayEndToEnd, FirstStartWritesAllEightKeysWithTheirDefaults) {
    const auto relay = start();
    stop(*relay);

    const UserDefaults settings(settingsPath());
    EXPECT_EQ(settings.integerForKey("orvaneSendPort"), 5000);
    EXPECT_EQ(settings.integerForKey("orvaneListenPort"), 5001);
    EXPECT_EQ(settings.stringForKey("device1Host"), "localhost");
    EXPECT_EQ(settings.integerForKey("device1SendPort"), 5011);
    EXPECT_EQ(settings.integerForKey("device1ListenPort"), 5010);
    EXPECT_EQ(settings.stringForKey("device2Host"), "localhost");
    EXPECT_EQ(settings.integerForKey("device2SendPort"), 5021);
    EXPECT_EQ(settings.integerForKey("device2ListenPort"), 5020);
    EXPECT_NE(relay->output().find("127.0.0.1 port 5000"), std::string::npos) << relay->output();
}

TEST_F(RelayEndToEnd, StoredValuesAreRestoredAZeroPortTakesItsDefaultAnEmptyHostStaysEmpty) {
    storeRoutableSettings();
    {
        UserDefaults settings(settingsPath());
        settings.setInteger(0, "orvaneSendPort");
        settings.setValue("", "device2Host");
    }
    const auto relay = start();
    EXPECT_NE(relay->output().find("Orvane   listens on UDP port " + std::to_string(orvaneListen_) +
                                   ", sends to 127.0.0.1 port 5000\n"),
              std::string::npos)
        << relay->output();
    EXPECT_NE(relay->output().find("device 2 listens on UDP port " +
                                   std::to_string(device2Listen_) + ", sends nowhere: no host\n"),
              std::string::npos)
        << relay->output();

    const Bytes first = intMessage("/first", 1);
    const Bytes second = intMessage("/second", 2);
    orvane_.sendTo(orvaneListen_, first);
    EXPECT_EQ(device1_.receive(), first);
    orvane_.sendTo(orvaneListen_, second);
    EXPECT_EQ(device1_.receive(), second);
    // The first datagram has been routed completely by now: device 2, without a sender,
    // got nothing.
    EXPECT_EQ(device2_.receive(std::chrono::milliseconds(0)), std::nullopt);
    stop(*relay);

    const UserDefaults settings(settingsPath());
    EXPECT_EQ(settings.integerForKey("orvaneSendPort"), 5000);
    EXPECT_EQ(settings.integerForKey("orvaneListenPort"), orvaneListen_);
    EXPECT_EQ(settings.stringForKey("device1Host"), "localhost");
    EXPECT_EQ(settings.integerForKey("device1SendPort"), device1_.port());
    EXPECT_EQ(settings.stringForKey("device2Host"), "");
    EXPECT_EQ(settings.integerForKey("device2SendPort"), device2_.port());
    EXPECT_EQ(settings.integerForKey("device2ListenPort"), device2Listen_);
}

TEST_F(RelayEndToEnd, EqualListenPortsLeaveTheLaterEndpointDeafAndTheOthersWorking) {
    storeRoutableSettings();
    UserDefaults(settingsPath()).setInteger(orvaneListen_, "device1ListenPort");
    const auto relay = start();
    EXPECT_NE(relay->output().find("bind: "), std::string::npos) << relay->output();

    const Bytes fromOrvane = intMessage("/orvane", 1);
    orvane_.sendTo(orvaneListen_, fromOrvane);
    EXPECT_EQ(device1_.receive(), fromOrvane);
    EXPECT_EQ(device2_.receive(), fromOrvane);
    const Bytes fromDevice2 = intMessage("/device/2", 2);
    device2_.sendTo(device2Listen_, fromDevice2);
    EXPECT_EQ(orvane_.receive(), fromDevice2);
    stop(*relay);
}

TEST_F(RelayEndToEnd, CorruptSettingsFileIsReportedAndUnreadableKeysTakeTheirDefaults) {
    std::filesystem::create_directories(settingsPath().parent_path());
    std::ofstream(settingsPath()) << "orvaneSendPort=" << orvane_.port() << "\n"
                                  << "orvaneListenPort=" << orvaneListen_ << "\n"
                                  << "device1Host=localhost\n"
                                  << "device1SendPort=" << device1_.port() << "\n"
                                  << "device1ListenPort=" << device1Listen_ << "\n"
                                  << "device2Host=\\q\n"
                                  << "device2SendPort=50x1\n"
                                  << "device2ListenPort=" << device2Listen_ << "\n"
                                  << "\xFF\xFE garbage without a separator\n";
    const auto relay = start();
    for (const char* line : {"tandrel.conf:6: ", "tandrel.conf:9: "})
        EXPECT_NE(relay->output().find(line), std::string::npos) << relay->output();

    const Bytes fromOrvane = intMessage("/orvane", 1);
    orvane_.sendTo(orvaneListen_, fromOrvane);
    EXPECT_EQ(device1_.receive(), fromOrvane);
    const Bytes fromDevice2 = intMessage("/device/2", 2);
    device2_.sendTo(device2Listen_, fromDevice2);
    EXPECT_EQ(orvane_.receive(), fromDevice2);
    stop(*relay);

    const UserDefaults settings(settingsPath());
    EXPECT_EQ(settings.stringForKey("device2Host"), "localhost");
    EXPECT_EQ(settings.integerForKey("device2SendPort"), 5021);
}

TEST_F(RelayEndToEnd, TerminationSignalsEndTheRelayWithStatusZeroAndFreeItsPorts) {
    for (const int signal : {SIGTERM, SIGINT}) {
        storeRoutableSettings();
        const auto relay = start();
        const Bytes datagram = intMessage("/before/stop", signal);
        orvane_.sendTo(orvaneListen_, datagram);
        EXPECT_EQ(device1_.receive(), datagram);
        EXPECT_EQ(device2_.receive(), datagram);
        stop(*relay, signal);
        for (const std::uint16_t port : {orvaneListen_, device1Listen_, device2Listen_})
            EXPECT_TRUE(UdpPeer::portIsFree(port)) << "port " << port << " after signal " << signal;
    }
}

} // namespace
