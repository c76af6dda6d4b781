#include "common/osc/KXOSCSender.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>

#include "common/osc/KXOSCBundle.h"
#include "common/osc/KXOSCDecoder.h"
#include "common/osc/KXOSCListener.h"
#include "common/osc/KXOSCMessage.h"
#include "platform/Date.h"
#include "platform/RunLoop.h"
#include "support/Bytes.h"
#include "support/LoopDriver.h"
#include "support/Loopback.h"

namespace {

using namespace std::chrono_literals;
using testing_support::boundPort;
using testing_support::LoopbackSocket;
using testing_support::RecordingDelegate;

std::shared_ptr<KXOSCMessage> messageWithInt(const char* address, std::int32_t value) {
    auto message = KXOSCMessage::messageWithKXOSCAddress(
        KXOSCAddress::addressWithString(std::string_view(address)));
    message->attachArgument(KXOSCArgument::argumentWithInt(value));
    return message;
}

TEST(KXOSCSender, HostThatCannotBeResolvedGivesNoSenderAndPrintsNothing) {
    const std::optional<std::string> hosts[] = {
        "no-such-host.invalid",
        "caf\xC3\xA9.example", // a character above U+007F
        std::string("localhost\0.invalid", 18),
        "",
        std::nullopt,
    };
    for (const auto& host : hosts) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(KXOSCSender::senderWithDestinationHostName(host, 5000), nullptr)
            << host.value_or("(none)");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << host.value_or("(none)");
    }
}

TEST(KXOSCSender, SendsOnePacketAsOneDatagramToTheResolvedAddressAndLow16BitsOfThePort) {
    const LoopbackSocket receiver;
    const struct {
        const char* host;
        std::int32_t port;
    } cases[] = {
        {"127.0.0.1", receiver.port()},
        {"127.0.0.1", 65536 + receiver.port()},
        {"127.1", receiver.port() - 65536}, // the short dotted form, still no lookup
        {"localhost", receiver.port()},
    };
    for (const auto& c : cases) {
        const auto sender = KXOSCSender::senderWithDestinationHostName(c.host, c.port);
        ASSERT_NE(sender, nullptr) << c.host;
        EXPECT_EQ(sender->portNumber(), c.port);
        EXPECT_EQ(sender->destinationAddress().sin_family, AF_INET);
        EXPECT_EQ(ntohs(sender->destinationAddress().sin_port), receiver.port());
        EXPECT_EQ(ntohl(sender->destinationAddress().sin_addr.s_addr), INADDR_LOOPBACK) << c.host;

        const auto message = messageWithInt("/fader", c.port);
        EXPECT_TRUE(sender->sendOSCPacket(message));
        const auto datagram = receiver.receive(30s);
        ASSERT_TRUE(datagram.has_value()) << c.host;
        EXPECT_EQ(Data::copyOf(*datagram), message->packetizedData());
    }
}

TEST(KXOSCSender, NoPacketAnEmptyBundleAndAnOversizedPacketSendNothingAndReturnFalse) {
    const LoopbackSocket receiver;
    const auto sender = KXOSCSender::senderWithDestinationHostName("127.0.0.1", receiver.port());
    ASSERT_NE(sender, nullptr);

    auto oversized = KXOSCMessage::messageWithKXOSCAddress(
        KXOSCAddress::addressWithString(std::string_view("/blob")));
    oversized->attachArgument(
        KXOSCArgument::argumentWithDataBlob(Data::copyOf(std::vector<std::uint8_t>(70000, 1))));
    const std::shared_ptr<KXOSCPacket> nothingToSend[] = {
        nullptr,
        KXOSCBundle::bundleWithTimestamp(Date(0)),
        oversized,
    };
    for (const auto& packet : nothingToSend)
        EXPECT_FALSE(sender->sendOSCPacket(packet));

    // What arrives first is the one packet that was sent afterwards.
    const auto sent = messageWithInt("/ok", 1);
    EXPECT_TRUE(sender->sendOSCPacket(sent));
    const auto datagram = receiver.receive(30s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(Data::copyOf(*datagram), sent->packetizedData());
}

/// Seconds since the reference date held by the time tag at offset 8 of a bundle datagram.
double bundleTimeStamp(const std::vector<std::uint8_t>& datagram) {
    const auto word = [&](std::size_t at) {
        return static_cast<std::uint32_t>(datagram[at]) << 24 |
               static_cast<std::uint32_t>(datagram[at + 1]) << 16 |
               static_cast<std::uint32_t>(datagram[at + 2]) << 8 | datagram[at + 3];
    };
    const auto seconds = static_cast<std::int32_t>(word(8) - 0x5C000000u);
    return seconds + word(12) / 4294967296.0;
}

TEST(KXOSCSender, MessagesAddedBeforeAFiringGoOutAsOneBundleStampedAtTheFirstAddition) {
    const auto recorder = std::make_shared<RecordingDelegate>(1);
    auto listener = KXOSCListener::defaultListenerOnPort(0);
    listener->setDelegate(recorder);
    const auto sender = KXOSCSender::senderWithDestinationHostName(
        "127.0.0.1", boundPort(listener->socketDescriptor()));
    ASSERT_NE(sender, nullptr);

    const auto first = messageWithInt("/first", 1);
    const auto second = messageWithInt("/second", 2);
    const double beforeFirst = Date::now().timeIntervalSinceReferenceDate();
    sender->addOSCMessage(first);
    const double afterFirst = Date::now().timeIntervalSinceReferenceDate();
    // Let the clock move on, so that the second addition's date is clearly another one.
    while (Date::now().timeIntervalSinceReferenceDate() < afterFirst + 0.001) {
    }
    sender->addOSCMessage(second);

    ASSERT_TRUE(runUntilStopped(RunLoop::main()));
    listener->stopListening();
    EXPECT_EQ(sender->mainBundle(), nullptr);
    ASSERT_EQ(recorder->packets.size(), 1u);
    const Data& datagram = recorder->packets[0];

    auto expected = KXOSCBundle::bundleWithTimestamp(Date(0));
    expected->attachObject(first);
    expected->attachObject(second);
    ASSERT_EQ(datagram.size(), expected->packetizedData().size());
    EXPECT_EQ(datagram.subdata(0, 8), expected->packetizedData().subdata(0, 8));
    EXPECT_EQ(datagram.subdataFrom(16), expected->packetizedData().subdataFrom(16))
        << "both messages, in the order added";
    const double stamp = bundleTimeStamp({datagram.bytes(), datagram.bytes() + datagram.size()});
    EXPECT_GE(stamp, beforeFirst - 1e-5);
    EXPECT_LE(stamp, afterFirst + 1e-5);
}

class KXOSCSenderFiring : public testing::TestWithParam<RunLoop::Mode> {};

TEST_P(KXOSCSenderFiring, FiringSendsWhatWasCollectedAndNothingWhenNothingWas) {
    const RunLoop::Mode mode = GetParam();
    const LoopbackSocket receiver;
    const auto sender = KXOSCSender::senderWithDestinationHostName("127.0.0.1", receiver.port());
    ASSERT_NE(sender, nullptr);
    // First firings with nothing collected, then one with a message. Each round ends when a
    // marker timer fires: made after the sender's timer with the same interval, it is never due
    // before it, so by then the sender's timer has fired in this mode too.
    const auto collected = messageWithInt("/collected", 3);
    for (const bool collecting : {false, true}) {
        if (collecting)
            sender->addOSCMessage(collected);
        const auto marker = RunLoop::main().scheduledTimerWithTimeInterval(
            KXOSCSender::kFlushInterval, [](RunLoopTimer& self) {
                self.invalidate();
                RunLoop::main().stop();
            });
        RunLoop::main().addTimer(marker, mode);
        ASSERT_TRUE(runUntilStopped(RunLoop::main(), mode));
    }
    // Anything the idle firings had sent would arrive before the bundle.
    const auto datagram = receiver.receive(30s);
    ASSERT_TRUE(datagram.has_value());
    const auto bundle =
        std::dynamic_pointer_cast<KXOSCBundle>(KXOSCDecoder::decodeData(Data::copyOf(*datagram)));
    ASSERT_NE(bundle, nullptr);
    ASSERT_TRUE(bundle->attachedObjects().has_value());
    ASSERT_EQ(bundle->attachedObjects()->size(), 1u);
    EXPECT_EQ(bundle->attachedObjects()->front()->stringRepresentation(),
              collected->stringRepresentation());
    EXPECT_EQ(sender->mainBundle(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(DefaultAndEventTracking, KXOSCSenderFiring,
                         testing::Values(RunLoop::Mode::Default, RunLoop::Mode::EventTracking));

TEST(KXOSCSender, ReleasingTheSenderClosesItsSocketStopsItsTimerAndDropsTheBundleAtOnce) {
    const LoopbackSocket receiver;
    auto sender = KXOSCSender::senderWithDestinationHostName("127.0.0.1", receiver.port());
    ASSERT_NE(sender, nullptr);
    sender->addOSCMessage(messageWithInt("/never", 0));
    const int descriptor = sender->socketDescriptor();
    const std::shared_ptr<RunLoopTimer> timer = sender->timer();
    const std::weak_ptr<KXOSCSender> watched = sender;
    ASSERT_TRUE(timer->isValid());

    sender.reset();
    EXPECT_TRUE(watched.expired()) << "the timer does not own its sender";
    EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(fcntl(descriptor, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);

    // A bundle sent on the way out would arrive before this marker.
    const LoopbackSocket client;
    ASSERT_TRUE(client.sendTo(receiver.port(), testing_support::bytes("6D61726B")));
    const auto datagram = receiver.receive(30s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(Data::copyOf(*datagram), testing_support::bytes("6D61726B"));
}

} // namespace
