#include "ReceiveThreads.h"

#include "UdpSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

constexpr std::size_t receiveBufferSize = 65507;
constexpr std::size_t largestDatagram = 65506;

} // namespace

ReceiveThreads::ReceiveThreads(const std::array<std::int32_t, 3>& listenPorts, Received received)
    : received_(std::move(received)) {
    for (int endpoint = 0; endpoint < 3; ++endpoint) {
        const int listener = UdpSocket::bound(listenPorts[static_cast<std::size_t>(endpoint)]);
        if (listener < 0) {
            continue;
        }
        listeners_.push_back(listener);
        threads_.emplace_back(&ReceiveThreads::receive, this, listener, endpoint);
    }
}

ReceiveThreads::~ReceiveThreads() {
    stopping_.store(true, std::memory_order_release);
    // Shutting a datagram socket down wakes a thread blocked in its receive.
    for (int listener : listeners_) {
        shutdown(listener, SHUT_RDWR);
    }
    for (std::thread& thread : threads_) {
        thread.join();
    }
    for (int listener : listeners_) {
        close(listener);
    }
}

void ReceiveThreads::receive(int listener, int endpoint) const {
    std::vector<unsigned char> buffer(receiveBufferSize);
    for (;;) {
        const ssize_t length = recv(listener, buffer.data(), largestDatagram, 0);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0 || stopping_.load(std::memory_order_acquire)) {
            return;
        }
        received_(endpoint,
                  std::span<const unsigned char>(buffer.data(), static_cast<std::size_t>(length)));
    }
}
