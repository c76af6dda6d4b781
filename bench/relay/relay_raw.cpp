// Reference relay: the machine's own cost of relaying. One thread per listen port receives each
// datagram into one fixed buffer and re-sends the same bytes to the endpoint's destinations: one
// receive and one send per destination, no decoding, no copy, no hand-off.

#include "RelaySettings.h"
#include "TerminationSignal.h"
#include "UdpSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t receiveBufferSize = 65507;
constexpr std::size_t largestDatagram = 65506;

struct Destination {
    int socket = -1;
    sockaddr_in address{};
};

void forward(int listener, const std::vector<const Destination*>& targets,
             const std::atomic<bool>& stopping) {
    std::vector<unsigned char> buffer(receiveBufferSize);
    for (;;) {
        const ssize_t length = recv(listener, buffer.data(), largestDatagram, 0);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0 || stopping.load(std::memory_order_acquire)) {
            return;
        }
        for (const Destination* target : targets) {
            sendto(target->socket, buffer.data(), static_cast<std::size_t>(length), 0,
                   reinterpret_cast<const sockaddr*>(&target->address), sizeof target->address);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const RelaySettings settings = RelaySettings::fromArgumentsOrExit(argc, argv);
    const TerminationSignal termination;

    const auto addresses = settings.destinations();
    std::array<Destination, 3> destinations;
    for (std::size_t endpoint = 0; endpoint < destinations.size(); ++endpoint) {
        if (addresses[endpoint]) {
            destinations[endpoint] = {UdpSocket::unbound(), *addresses[endpoint]};
        }
    }

    std::atomic<bool> stopping{false};
    std::vector<int> listeners;
    std::vector<std::thread> threads;
    const auto ports = settings.listenPorts();
    for (int endpoint = 0; endpoint < 3; ++endpoint) {
        const int listener = UdpSocket::bound(ports[static_cast<std::size_t>(endpoint)]);
        if (listener < 0) {
            continue;
        }
        std::vector<const Destination*> targets;
        for (int to : RelaySettings::routeFrom(endpoint)) {
            if (destinations[static_cast<std::size_t>(to)].socket >= 0) {
                targets.push_back(&destinations[static_cast<std::size_t>(to)]);
            }
        }
        listeners.push_back(listener);
        threads.emplace_back(forward, listener, targets, std::cref(stopping));
    }

    termination.wait();
    stopping.store(true, std::memory_order_release);
    // Shutting a datagram socket down wakes a thread blocked in its receive.
    for (int listener : listeners) {
        shutdown(listener, SHUT_RDWR);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int listener : listeners) {
        close(listener);
    }
    for (const Destination& destination : destinations) {
        if (destination.socket >= 0) {
            close(destination.socket);
        }
    }
    return 0;
}
