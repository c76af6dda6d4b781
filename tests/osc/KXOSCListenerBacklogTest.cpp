#include "common/osc/KXOSCListener.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/osc/KXOSCRawPacketDelegate.h"
#include "platform/RunLoop.h"

namespace {

using namespace std::chrono_literals;

class CountingDelegate : public KXOSCRawPacketDelegate {
public:
    void dispatchRawPacket(const Data&) override { ++count; }
    std::size_t count = 0;
};

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return condition();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

/// Sends datagrams to a listener one at a time, each once the listener has read the one
/// before, so that the kernel never drops one for want of buffer space.
class PacedSender {
public:
    explicit PacedSender(const KXOSCListener& listener)
        : listener_(listener), fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        socklen_t length = sizeof destination_;
        ::getsockname(listener.socketDescriptor(), reinterpret_cast<sockaddr*>(&destination_),
                      &length);
        destination_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    PacedSender(const PacedSender&) = delete;
    PacedSender& operator=(const PacedSender&) = delete;
    ~PacedSender() { ::close(fd_); }

    bool send(std::size_t size) {
        const std::vector<std::uint8_t> datagram(size, 0x2F);
        ::sendto(fd_, datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&destination_), sizeof destination_);
        return eventually([&] {
            int waiting = 0;
            ::ioctl(listener_.socketDescriptor(), FIONREAD, &waiting);
            return waiting == 0;
        });
    }

private:
    const KXOSCListener& listener_;
    int fd_;
    sockaddr_in destination_{};
};

TEST(KXOSCListenerBacklogTest, DatagramsBeyondTheBoundOnBytesWaitingAreDroppedAndCounted) {
    RunLoop::main().performPostedCalls();
    const auto listener = KXOSCListener::defaultListenerOnPort(0);
    const auto delegate = std::make_shared<CountingDelegate>();
    listener->setDelegate(delegate);
    PacedSender sender(*listener);

    // The main loop does not run: every delivery waits until the bound is reached.
    constexpr std::size_t kSize = 60000;
    constexpr std::size_t kFitting =
        KXOSCListener::kMaximumBytesWaiting / (kSize + KXOSCListener::kDeliveryOverhead);
    constexpr std::size_t kBeyond = 10;
    for (std::size_t i = 0; i < kFitting + kBeyond; ++i)
        ASSERT_TRUE(sender.send(kSize)) << "datagram " << i << " was not read";
    ASSERT_TRUE(eventually([&] { return listener->droppedDatagrams() == kBeyond; }))
        << listener->droppedDatagrams();

    RunLoop::main().performPostedCalls();
    EXPECT_EQ(delegate->count, kFitting);

    // Once the main thread has caught up, datagrams wait again.
    ASSERT_TRUE(sender.send(kSize));
    ASSERT_TRUE(eventually([&] {
        RunLoop::main().performPostedCalls();
        return delegate->count == kFitting + 1;
    }));
    EXPECT_EQ(listener->droppedDatagrams(), kBeyond);
    listener->stopListening();
    RunLoop::main().performPostedCalls();
}

} // namespace
