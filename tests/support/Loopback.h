// Real UDP sockets on the loopback interface, and a delegate that records deliveries.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/osc/KXOSCRawPacketDelegate.h"
#include "platform/Data.h"
#include "platform/RunLoop.h"

namespace testing_support {

/// The local port a socket is bound to.
inline std::uint16_t boundPort(int descriptor) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

/// A UDP socket bound on 127.0.0.1 to a port the system chooses, closed on destruction.
class LoopbackSocket {
public:
    LoopbackSocket() : descriptor_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(descriptor_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            ADD_FAILURE() << "cannot bind a loopback socket";
    }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    ~LoopbackSocket() { close(descriptor_); }

    int descriptor() const { return descriptor_; }
    std::uint16_t port() const { return boundPort(descriptor_); }

    /// Sends one datagram to 127.0.0.1 on `port`; false when the send fails.
    bool sendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) const {
        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        destination.sin_port = htons(port);
        destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sendto(descriptor_, bytes.data(), bytes.size(), 0,
                      reinterpret_cast<const sockaddr*>(&destination),
                      sizeof destination) == static_cast<ssize_t>(bytes.size());
    }
    bool sendTo(std::uint16_t port, const Data& bytes) const { return sendTo(port, bytes.span()); }

    /// The next datagram, waiting for it at most `limit`; none when nothing came.
    std::optional<std::vector<std::uint8_t>> receive(std::chrono::milliseconds limit) const {
        pollfd readable{descriptor_, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(limit.count())) != 1)
            return std::nullopt;
        std::vector<std::uint8_t> datagram(65536);
        const ssize_t received = recv(descriptor_, datagram.data(), datagram.size(), 0);
        if (received < 0)
            return std::nullopt;
        datagram.resize(static_cast<std::size_t>(received));
        return datagram;
    }

private:
    int descriptor_;
};

/// Tells when something has been posted to the main run loop, through the loop's wake-up
/// handler: wait() returns once the first call after construction has been posted. The main
/// loop must not be driven meanwhile.
class FirstPostWatcher {
public:
    FirstPostWatcher() {
        // Shared with the handler, which a posting thread may still be running after the
        // watcher is gone.
        auto state = state_;
        RunLoop::main().setWakeUpHandler([state] {
            std::lock_guard lock(state->mutex);
            state->posted = true;
            state->changed.notify_all();
        });
        // Re-arms the wake-up, so that the next post calls the handler.
        RunLoop::main().performPostedCalls();
    }
    FirstPostWatcher(const FirstPostWatcher&) = delete;
    FirstPostWatcher& operator=(const FirstPostWatcher&) = delete;
    ~FirstPostWatcher() { RunLoop::main().setWakeUpHandler(nullptr); }

    /// False when nothing was posted within `limit`.
    bool wait(std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, limit, [this] { return state_->posted; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool posted = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

/// Records each delivery, and stops the main run loop once it holds `stopAfter` of them.
class RecordingDelegate : public KXOSCRawPacketDelegate {
public:
    explicit RecordingDelegate(std::size_t stopAfter = 0) : stopAfter_(stopAfter) {}

    /// Forgets what it recorded, and stops the loop after `stopAfter` new deliveries.
    void expect(std::size_t stopAfter) {
        packets.clear();
        threads.clear();
        stopAfter_ = stopAfter;
    }

    void dispatchRawPacket(const Data& packet) override {
        packets.push_back(packet);
        threads.push_back(std::this_thread::get_id());
        if (packets.size() == stopAfter_)
            RunLoop::main().stop();
    }

    std::vector<Data> packets;
    std::vector<std::thread::id> threads;

private:
    std::size_t stopAfter_;
};

} // namespace testing_support
