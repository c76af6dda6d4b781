#include "classes/TandrelController.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OscBytes.h"
#include "RelayPeers.h"
#include "TemporaryFolder.h"
#include "UdpPeer.h"
#include "common/osc/KXOSCListener.h"
#include "common/osc/KXOSCSender.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "support/LoopDriver.h"

namespace {

using OscBytes = ::OscBytes;

class TandrelControllerTest : public ::testing::Test, protected RelayPeers {
protected:
    void TearDown() override { controller_->teardown(); }

    /// Serves the main run loop, as the application does, until `peer` has received a
    /// datagram or its time-out has passed; returns the datagram.
    static std::optional<Bytes> receiveWhileRunning(UdpPeer& peer) {
        std::optional<Bytes> received;
        std::thread receiver([&] {
            received = peer.receive();
            RunLoop::main().stop();
        });
        runUntilStopped(RunLoop::main());
        receiver.join();
        return received;
    }

    /// The six endpoints, kept alive so that a replacement cannot reuse an address.
    std::array<std::shared_ptr<void>, 6> endpoints() const {
        return {controller_->orvaneListener(),  controller_->orvaneSender(),
                controller_->device1Listener(), controller_->device1Sender(),
                controller_->device2Listener(), controller_->device2Sender()};
    }

    TemporaryFolder folder_;
    UserDefaults settings_{folder_.path() / "tandrel.conf"};
    std::shared_ptr<TandrelController> controller_ =
        TandrelController::controllerWithUserDefaults(settings_);
};

TEST_F(TandrelControllerTest, StartUpAppliesStoredSettingsInOrderAndTellsObservers) {
    storeRoutableSettings(settings_);
    std::vector<std::string> told;
    controller_->addObserver([&](std::string_view property) { told.emplace_back(property); });
    controller_->awakeFromNib();

    EXPECT_EQ(told, (std::vector<std::string>{"orvaneSendPort", "orvaneListenPort", "device1Host",
                                              "device1SendPort", "device1ListenPort", "device2Host",
                                              "device2SendPort", "device2ListenPort"}));
    EXPECT_EQ(controller_->orvaneSendPort(), orvane_.port());
    EXPECT_EQ(controller_->orvaneListenPort(), orvaneListen_);
    EXPECT_EQ(controller_->device1Host(), "localhost");
    EXPECT_EQ(controller_->device1SendPort(), device1_.port());
    EXPECT_EQ(controller_->device1ListenPort(), device1Listen_);
    EXPECT_EQ(controller_->device2Host(), "127.0.0.1");
    EXPECT_EQ(controller_->device2SendPort(), device2_.port());
    EXPECT_EQ(controller_->device2ListenPort(), device2Listen_);
    for (const auto& endpoint : endpoints())
        EXPECT_NE(endpoint, nullptr);
}

TEST_F(TandrelControllerTest, EverySetterPersistsAndRebuildsOnlyItsOwnEndpointEvenForTheSameValue) {
    storeRoutableSettings(settings_);
    controller_->awakeFromNib();
    TandrelController& c = *controller_;
    struct Case {
        std::string property;
        std::function<void()> setSameValue;
        std::size_t endpoint; // index into endpoints()
    };
    const std::vector<Case> cases = {
        {"orvaneListenPort", [&] { c.setOrvaneListenPort(c.orvaneListenPort()); }, 0},
        {"orvaneSendPort", [&] { c.setOrvaneSendPort(c.orvaneSendPort()); }, 1},
        {"device1ListenPort", [&] { c.setDevice1ListenPort(c.device1ListenPort()); }, 2},
        {"device1Host", [&] { c.setDevice1Host(c.device1Host()); }, 3},
        {"device1SendPort", [&] { c.setDevice1SendPort(c.device1SendPort()); }, 3},
        {"device2ListenPort", [&] { c.setDevice2ListenPort(c.device2ListenPort()); }, 4},
        {"device2Host", [&] { c.setDevice2Host(c.device2Host()); }, 5},
        {"device2SendPort", [&] { c.setDevice2SendPort(c.device2SendPort()); }, 5},
    };
    for (const Case& row : cases) {
        // Removing the key shows that the setter writes it again.
        settings_.setValue(std::nullopt, row.property);
        std::vector<std::string> told;
        const auto observer =
            c.addObserver([&](std::string_view property) { told.emplace_back(property); });
        const auto before = endpoints();
        row.setSameValue();
        const auto after = endpoints();
        c.removeObserver(observer);

        EXPECT_NE(settings_.stringForKey(row.property), std::nullopt) << row.property;
        EXPECT_EQ(told, std::vector<std::string>{row.property});
        for (std::size_t i = 0; i < before.size(); ++i) {
            if (i == row.endpoint)
                EXPECT_NE(after[i], before[i]) << row.property << " keeps endpoint " << i;
            else
                EXPECT_EQ(after[i], before[i]) << row.property << " replaces endpoint " << i;
        }
    }

    // Every endpoint still works after being rebuilt on its own value.
    const Bytes fromOrvane = OscBytes::intMessage("/after/rebuild", 1);
    orvane_.sendTo(orvaneListen_, fromOrvane);
    EXPECT_EQ(receiveWhileRunning(device1_), fromOrvane);
    EXPECT_EQ(receiveWhileRunning(device2_), fromOrvane);
    const Bytes fromDevice2 = OscBytes::intMessage("/device/2", 2);
    device2_.sendTo(device2Listen_, fromDevice2);
    EXPECT_EQ(receiveWhileRunning(orvane_), fromDevice2);
}

TEST_F(TandrelControllerTest, ListenPortMovedToATakenPortIsStoredAndLeavesTheEndpointDeaf) {
    storeRoutableSettings(settings_);
    controller_->awakeFromNib();
    UdpPeer occupant; // holds 127.0.0.1 at its port, which the listener wants on every address

    testing::internal::CaptureStderr();
    controller_->setDevice1ListenPort(occupant.port());
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("bind: "), std::string::npos) << errors;
    EXPECT_EQ(settings_.integerForKey("device1ListenPort"), occupant.port());
    EXPECT_EQ(controller_->device1ListenPort(), occupant.port());
    EXPECT_TRUE(UdpPeer::portIsFree(device1Listen_)) << "the old listener is stopped";

    // Neither the old port nor the taken one relays; device 2 still does.
    device1_.sendTo(device1Listen_, OscBytes::intMessage("/old/port", 1));
    const Bytes fromDevice2 = OscBytes::intMessage("/device/2", 2);
    device2_.sendTo(device2Listen_, fromDevice2);
    EXPECT_EQ(receiveWhileRunning(orvane_), fromDevice2);
    EXPECT_EQ(orvane_.receive(std::chrono::milliseconds(0)), std::nullopt);
}

TEST_F(TandrelControllerTest, BothDevicesAimedAtOneDestinationReceiveEachPacketTwice) {
    storeRoutableSettings(settings_);
    settings_.setInteger(device1_.port(), "device2SendPort");
    controller_->awakeFromNib();

    const std::vector<Bytes> sent = {OscBytes::intMessage("/one", 1),
                                     OscBytes::intMessage("/two", 2)};
    for (const Bytes& datagram : sent)
        orvane_.sendTo(orvaneListen_, datagram);
    for (const Bytes& expected : {sent[0], sent[0], sent[1], sent[1]})
        EXPECT_EQ(receiveWhileRunning(device1_), expected);
}

TEST_F(TandrelControllerTest, PortsAreStoredUncheckedAndAZeroPortTakesTheDefaultAtTheNextStart) {
    storeRoutableSettings(settings_);
    controller_->awakeFromNib();

    // Only the low 16 bits reach the socket layer; the setting keeps the whole value.
    const std::int32_t wide = 0x10000 + device1_.port();
    const std::int32_t negative = -0x10000 + device2_.port();
    controller_->setDevice1SendPort(wide);
    controller_->setDevice2SendPort(negative);
    controller_->setOrvaneSendPort(0);
    EXPECT_EQ(settings_.integerForKey("device1SendPort"), wide);
    EXPECT_EQ(settings_.integerForKey("device2SendPort"), negative);
    EXPECT_EQ(settings_.integerForKey("orvaneSendPort"), 0);
    EXPECT_EQ(controller_->orvaneSendPort(), 0);
    const Bytes datagram = OscBytes::intMessage("/wide", 1);
    orvane_.sendTo(orvaneListen_, datagram);
    EXPECT_EQ(receiveWhileRunning(device1_), datagram);
    EXPECT_EQ(receiveWhileRunning(device2_), datagram);
    controller_->teardown();

    const auto next = TandrelController::controllerWithUserDefaults(settings_);
    next->awakeFromNib();
    EXPECT_EQ(next->orvaneSendPort(), 5000);
    EXPECT_EQ(next->device1SendPort(), wide);
    EXPECT_EQ(next->device2SendPort(), negative);
    next->teardown();
}

TEST_F(TandrelControllerTest, HostIsStoredEvenWhenItsSenderCannotBeBuiltAndNoHostMeansTheDefault) {
    storeRoutableSettings(settings_);
    controller_->awakeFromNib();

    // A host outside ASCII has no byte form: no sender, no lookup, and still stored.
    controller_->setDevice1Host("h\xC3\xB4st");
    EXPECT_EQ(settings_.stringForKey("device1Host"), "h\xC3\xB4st");
    EXPECT_EQ(controller_->device1Sender(), nullptr);
    const Bytes datagram = OscBytes::intMessage("/one/device", 1);
    orvane_.sendTo(orvaneListen_, datagram);
    EXPECT_EQ(receiveWhileRunning(device2_), datagram);
    EXPECT_EQ(device1_.receive(std::chrono::milliseconds(0)), std::nullopt);

    // No host removes the key, so the next start takes "localhost".
    controller_->setDevice1Host(std::nullopt);
    EXPECT_EQ(settings_.stringForKey("device1Host"), std::nullopt);
    EXPECT_EQ(controller_->device1Sender(), nullptr);
    controller_->teardown();
    const auto next = TandrelController::controllerWithUserDefaults(settings_);
    next->awakeFromNib();
    EXPECT_EQ(next->device1Host(), "localhost");
    EXPECT_NE(next->device1Sender(), nullptr);
    next->teardown();
}

TEST_F(TandrelControllerTest, QueuedDeliveriesAndListenersDoNotKeepTheControllerAlive) {
    storeRoutableSettings(settings_);
    controller_->awakeFromNib();
    const std::weak_ptr<TandrelController> weak = controller_;

    // Deliveries wait on the main run loop, each holding a wrapper, while the loop is not served.
    const Bytes datagram = OscBytes::intMessage("/late", 1);
    orvane_.sendTo(orvaneListen_, datagram);
    device1_.sendTo(device1Listen_, datagram);
    controller_.reset();
    EXPECT_TRUE(weak.expired());
    for (const std::uint16_t port : {orvaneListen_, device1Listen_, device2Listen_})
        EXPECT_TRUE(UdpPeer::portIsFree(port)) << port;

    // Served now, they find no controller and send nothing; a fresh controller works.
    controller_ = TandrelController::controllerWithUserDefaults(settings_);
    controller_->awakeFromNib();
    const Bytes fresh = OscBytes::intMessage("/fresh", 2);
    orvane_.sendTo(orvaneListen_, fresh);
    EXPECT_EQ(receiveWhileRunning(device1_), fresh);
    EXPECT_EQ(orvane_.receive(std::chrono::milliseconds(0)), std::nullopt);
}

TEST_F(TandrelControllerTest, RemovedObserversAreNotToldAnyMore) {
    storeRoutableSettings(settings_);
    controller_->awakeFromNib();
    std::vector<std::string> first;
    std::vector<std::string> second;
    TandrelController::ObserverId secondId = 0;
    const auto firstId = controller_->addObserver([&](std::string_view property) {
        first.emplace_back(property);
        controller_->removeObserver(secondId); // removed while the change is being told
    });
    secondId =
        controller_->addObserver([&](std::string_view property) { second.emplace_back(property); });

    controller_->setDevice1SendPort(device1_.port());
    controller_->removeObserver(firstId);
    controller_->setDevice2SendPort(device2_.port());
    EXPECT_EQ(first, std::vector<std::string>{"device1SendPort"});
    EXPECT_TRUE(second.empty());
}

} // namespace
