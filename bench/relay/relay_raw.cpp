// Reference relay: the machine's own cost of relaying. One thread per listen port receives each
// datagram into one fixed buffer and re-sends the same bytes to the endpoint's destinations: one
// receive and one send per destination, no decoding, no copy, no hand-off.

#include "ReceiveThreads.h"
#include "RelaySettings.h"
#include "TerminationSignal.h"
#include "UdpSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <span>
#include <vector>

namespace {

struct Destination {
    int socket = -1;
    sockaddr_in address{};
};

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
    std::array<std::vector<const Destination*>, 3> targets;
    for (int endpoint = 0; endpoint < 3; ++endpoint) {
        for (int to : RelaySettings::routeFrom(endpoint)) {
            const Destination& destination = destinations[static_cast<std::size_t>(to)];
            if (destination.socket >= 0) {
                targets[static_cast<std::size_t>(endpoint)].push_back(&destination);
            }
        }
    }

    const auto sendOn = [&targets](int endpoint, std::span<const unsigned char> datagram) {
        for (const Destination* target : targets[static_cast<std::size_t>(endpoint)]) {
            sendto(target->socket, datagram.data(), datagram.size(), 0,
                   reinterpret_cast<const sockaddr*>(&target->address), sizeof target->address);
        }
    };
    {
        const ReceiveThreads receiving(settings.listenPorts(), sendOn);
        termination.wait();
    }

    for (const Destination& destination : destinations) {
        if (destination.socket >= 0) {
            close(destination.socket);
        }
    }
    return 0;
}
