#include "common/osc/KXOSCListener.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/osc/KXOSCDispatcher.h"
#include "common/osc/KXOSCMessage.h"
#include "platform/RunLoop.h"
#include "support/Bytes.h"
#include "support/LoopDriver.h"
#include "support/Loopback.h"

namespace {

using testing_support::boundPort;
using testing_support::FirstPostWatcher;
using testing_support::LoopbackSocket;
using testing_support::RecordingDelegate;

/// Four bytes holding `value`, most significant first.
Data numbered(std::uint32_t value) {
    const std::uint8_t bytes[] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return Data::copyOf(bytes);
}

/// A listener on a port the system chooses, delivering to `delegate`.
std::shared_ptr<KXOSCListener> listenerFor(std::shared_ptr<KXOSCRawPacketDelegate> delegate) {
    auto listener = KXOSCListener::defaultListenerOnPort(0);
    listener->setDelegate(std::move(delegate));
    return listener;
}

bool isOpen(int descriptor) {
    return fcntl(descriptor, F_GETFD) != -1 || errno != EBADF;
}

TEST(KXOSCListener, DeliversDatagramsOnTheMainThreadInTheOrderReceived) {
    constexpr std::uint32_t kDatagrams = 200;
    const auto recorder = std::make_shared<RecordingDelegate>(kDatagrams);
    const auto listener = listenerFor(recorder);
    const LoopbackSocket client;
    const std::uint16_t port = boundPort(listener->socketDescriptor());
    for (std::uint32_t i = 0; i < kDatagrams; ++i)
        ASSERT_TRUE(client.sendTo(port, numbered(i)));

    ASSERT_TRUE(runUntilStopped(RunLoop::main()));
    listener->stopListening();
    ASSERT_EQ(recorder->packets.size(), kDatagrams);
    for (std::uint32_t i = 0; i < kDatagrams; ++i) {
        EXPECT_EQ(recorder->packets[i], numbered(i));
        EXPECT_EQ(recorder->threads[i], std::this_thread::get_id());
    }
}

TEST(KXOSCListener, DatagramSizesFromEmptyToOneByteTooLong) {
    const auto recorder = std::make_shared<RecordingDelegate>();
    const auto listener = listenerFor(recorder);
    const LoopbackSocket client;
    const std::uint16_t port = boundPort(listener->socketDescriptor());

    struct Case {
        std::size_t sent;
        std::size_t delivered;
    };
    // 65507 bytes is the largest UDP payload over IPv4; the receive keeps one byte less.
    const Case cases[] = {{0, 0}, {1, 1}, {17, 17}, {65506, 65506}, {65507, 65506}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> datagram(c.sent);
        for (std::size_t i = 0; i < c.sent; ++i)
            datagram[i] = static_cast<std::uint8_t>(i * 7 + 1);
        // One at a time, so that two large datagrams never wait in the socket together.
        ASSERT_TRUE(client.sendTo(port, datagram)) << c.sent;
        recorder->expect(1);
        ASSERT_TRUE(runUntilStopped(RunLoop::main())) << c.sent;
        ASSERT_EQ(recorder->packets.size(), 1u);
        const Data& delivered = recorder->packets[0];
        EXPECT_FALSE(delivered.isAbsent()) << c.sent;
        EXPECT_EQ(delivered, Data::copyOf(std::span(datagram).first(c.delivered))) << c.sent;
    }
    listener->stopListening();
}

TEST(KXOSCListener, PortNumberIsCutToItsLow16Bits) {
    // A port that was free a moment ago, reached through numbers above and below 0..65535.
    const std::uint16_t port = [] {
        const LoopbackSocket probe;
        return probe.port();
    }();
    for (const std::int32_t given : {65536 + port, port - 65536}) {
        const auto recorder = std::make_shared<RecordingDelegate>(1);
        auto listener = KXOSCListener::defaultListenerOnPort(given);
        listener->setDelegate(recorder);
        EXPECT_EQ(boundPort(listener->socketDescriptor()), port) << given;
        const LoopbackSocket client;
        ASSERT_TRUE(client.sendTo(port, numbered(7)));
        ASSERT_TRUE(runUntilStopped(RunLoop::main())) << given;
        EXPECT_EQ(recorder->packets[0], numbered(7));
        listener->stopListening();
    }
}

TEST(KXOSCListener, PortTakenByAnotherSocketPrintsBindErrorAndNeverDelivers) {
    const LoopbackSocket taker;
    const std::uint16_t port = taker.port();

    testing::internal::CaptureStderr();
    const auto listener = KXOSCListener::defaultListenerOnPort(port);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bind: Address already in use\n");
    const auto recorder = std::make_shared<RecordingDelegate>();
    listener->setDelegate(recorder);

    const int descriptor = listener->socketDescriptor();
    EXPECT_GE(descriptor, 0) << "the unbound socket stays open until the stop";
    const LoopbackSocket client;
    ASSERT_TRUE(client.sendTo(port, numbered(1)));
    EXPECT_TRUE(taker.receive(std::chrono::seconds(30)).has_value()) << "it went to the taker";
    RunLoop::main().performPostedCalls();
    EXPECT_TRUE(recorder->packets.empty());

    listener->stopListening();
    EXPECT_EQ(listener->socketDescriptor(), -1);
    EXPECT_FALSE(isOpen(descriptor));
}

TEST(KXOSCListener, StopWakesABlockedReceiveAndThePortBindsAgainAtOnceEveryTime) {
    // Each round binds the port that the round before has just released. The old thread must
    // be gone from its descriptor: the new socket usually gets the same number, and a thread
    // still reading it would take the new listener's datagrams. A stop that left the old
    // socket alive would make the bind fail. Some rounds stop before the thread has even
    // reached its receive, some after a delivery, when it is blocked in the next one.
    constexpr int kRounds = 300;
    const LoopbackSocket client;
    std::uint16_t port = 0;
    std::vector<std::shared_ptr<RecordingDelegate>> recorders;
    for (int round = 0; round < kRounds; ++round) {
        const bool withTraffic = round % 3 != 0;
        recorders.push_back(std::make_shared<RecordingDelegate>(1));
        testing::internal::CaptureStderr();
        auto listener = KXOSCListener::defaultListenerOnPort(port);
        ASSERT_EQ(testing::internal::GetCapturedStderr(), "") << "round " << round;
        listener->setDelegate(recorders.back());
        port = boundPort(listener->socketDescriptor());
        if (withTraffic) {
            ASSERT_TRUE(client.sendTo(port, numbered(static_cast<std::uint32_t>(round))));
            ASSERT_TRUE(runUntilStopped(RunLoop::main())) << "round " << round;
        }
        listener->stopListening();
        // Released at once: the receive thread may be the last holder, on its way out.
        listener.reset();
    }
    RunLoop::main().performPostedCalls();
    for (int round = 0; round < kRounds; ++round) {
        const auto& packets = recorders[static_cast<std::size_t>(round)]->packets;
        if (round % 3 != 0) {
            ASSERT_EQ(packets.size(), 1u) << "round " << round;
            EXPECT_EQ(packets[0], numbered(static_cast<std::uint32_t>(round)));
        } else {
            EXPECT_TRUE(packets.empty()) << "round " << round;
        }
    }
}

TEST(KXOSCListener, DeliveriesPostedBeforeTheStopStillReachTheirDelegate) {
    constexpr std::uint32_t kDatagrams = 50;
    const auto recorder = std::make_shared<RecordingDelegate>();
    FirstPostWatcher watcher;
    auto listener = listenerFor(recorder);
    const LoopbackSocket client;
    for (std::uint32_t i = 0; i < kDatagrams; ++i)
        ASSERT_TRUE(client.sendTo(boundPort(listener->socketDescriptor()), numbered(i)));
    ASSERT_TRUE(watcher.wait());

    // Some deliveries are posted, maybe all. The listener is stopped, its delegate replaced and
    // the listener released before the main thread handles any of them.
    listener->stopListening();
    listener->setDelegate(std::make_shared<RecordingDelegate>());
    listener.reset();
    EXPECT_TRUE(recorder->packets.empty());
    RunLoop::main().performPostedCalls();
    ASSERT_GE(recorder->packets.size(), 1u);
    ASSERT_LE(recorder->packets.size(), kDatagrams);
    for (std::uint32_t i = 0; i < recorder->packets.size(); ++i)
        EXPECT_EQ(recorder->packets[i], numbered(i));
}

TEST(KXOSCListener, SocketOnDescriptorZeroIsAnOpenSocket) {
    // With standard input closed, the next socket gets descriptor 0; it must work like any
    // other, and its stop must close it.
    RunLoop::main();
    const int savedInput = dup(STDIN_FILENO);
    ASSERT_GE(savedInput, 0);
    close(STDIN_FILENO);
    auto recorder = std::make_shared<RecordingDelegate>(1);
    auto listener = listenerFor(recorder);
    const int descriptor = listener->socketDescriptor();
    if (descriptor == 0) {
        const LoopbackSocket client;
        EXPECT_TRUE(client.sendTo(boundPort(0), numbered(5)));
        EXPECT_TRUE(runUntilStopped(RunLoop::main()));
        listener->stopListening();
        EXPECT_FALSE(isOpen(0));
    } else {
        listener->stopListening();
    }
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    ASSERT_EQ(descriptor, 0);
    ASSERT_EQ(recorder->packets.size(), 1u);
    EXPECT_EQ(recorder->packets[0], numbered(5));
}

TEST(KXOSCListener, DefaultDispatcherLogsEachDatagramItReceives) {
    const auto message = KXOSCMessage::messageWithKXOSCAddress(
        KXOSCAddress::addressWithString(std::string_view("/fader/1")));
    message->attachArgument(KXOSCArgument::argumentWithInt(42));
    FirstPostWatcher watcher;
    auto listener = KXOSCListener::defaultListenerOnPort(0);
    const LoopbackSocket client;
    ASSERT_TRUE(client.sendTo(boundPort(listener->socketDescriptor()), message->packetizedData()));
    ASSERT_TRUE(watcher.wait());
    listener->stopListening();
    listener.reset();

    testing::internal::CaptureStderr();
    RunLoop::main().performPostedCalls();
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("] DISPATCH: " + message->stringRepresentation() + "\n"),
              std::string::npos)
        << written;
}

TEST(KXOSCDispatcher, LogsThePacketsTextOrNullForABufferThatHoldsNoPacket) {
    const auto message = KXOSCMessage::messageWithKXOSCAddress(
        KXOSCAddress::addressWithString(std::string_view("/a")));
    message->attachArgument(KXOSCArgument::argumentWithString(std::string_view("text")));
    const struct {
        Data datagram;
        std::string logged;
    } cases[] = {
        {message->packetizedData(), message->stringRepresentation()},
        {Data::empty(), "(null)"},
        {testing_support::bytes("2F 61 00 00 2C 78 00 00"), "(null)"}, // type "x" is not read
    };
    KXOSCDispatcher dispatcher;
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        dispatcher.dispatchRawPacket(c.datagram);
        const std::string written = testing::internal::GetCapturedStderr();
        const std::string expectedEnd = "] DISPATCH: " + c.logged + "\n";
        ASSERT_GE(written.size(), expectedEnd.size());
        EXPECT_EQ(written.substr(written.size() - expectedEnd.size()), expectedEnd);
        EXPECT_EQ(written.find("DISPATCH: "), written.rfind("DISPATCH: ")) << "one entry";
    }
}

} // namespace
