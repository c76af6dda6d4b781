#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>
#include <vector>

// The receive side of the raw and hand-off reference relays: one thread per listen port, each
// receiving every datagram into one fixed buffer of its own and handing it to the relay on that
// thread, as the relay under test receives.
class ReceiveThreads {
public:
    // Called on a port's thread for each datagram received there; the bytes are valid only
    // during the call. Endpoints are numbered as RelaySettings numbers them.
    using Received = std::function<void(int endpoint, std::span<const unsigned char> datagram)>;

    // Binds each port and starts its thread. A port that cannot be bound is reported and left
    // without a thread, as the relay under test leaves it.
    ReceiveThreads(const std::array<std::int32_t, 3>& listenPorts, Received received);
    ReceiveThreads(const ReceiveThreads&) = delete;
    ReceiveThreads& operator=(const ReceiveThreads&) = delete;
    // Wakes every thread, waits for it to end and closes its socket.
    ~ReceiveThreads();

private:
    void receive(int listener, int endpoint) const;

    Received received_;
    std::atomic<bool> stopping_{false};
    std::vector<int> listeners_;
    std::vector<std::thread> threads_;
};
