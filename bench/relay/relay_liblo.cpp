// Reference relay: what a user might pick instead, built on liblo. One liblo server per listen
// port, all served by one thread; each message is decoded by liblo and sent again freshly
// encoded, and each bundle is rebuilt from its decoded messages (nested bundles included) and
// sent as one bundle, so what leaves is liblo's encoding, never the received bytes.

#include "RelaySettings.h"
#include "TerminationSignal.h"

#include <lo/lo.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Endpoint {
    lo_server server = nullptr;
    std::vector<lo_address> targets;
    // Bundles being rebuilt, outermost first; liblo reports nested bundles as nested start/end
    // calls.
    std::vector<lo_bundle> open;
};

void reportError(int number, const char* message, const char* where) {
    std::fprintf(stderr, "liblo server error %d in %s: %s\n", number, where ? where : "-",
                 message ? message : "-");
}

int relayMessage(const char* path, const char*, lo_arg**, int, lo_message message, void* context) {
    auto& endpoint = *static_cast<Endpoint*>(context);
    if (!endpoint.open.empty()) {
        lo_bundle_add_message(endpoint.open.back(), path, message);
        return 0;
    }
    for (lo_address target : endpoint.targets) {
        lo_send_message(target, path, message);
    }
    return 0;
}

int bundleStarts(lo_timetag time, void* context) {
    static_cast<Endpoint*>(context)->open.push_back(lo_bundle_new(time));
    return 0;
}

int bundleEnds(void* context) {
    auto& endpoint = *static_cast<Endpoint*>(context);
    lo_bundle bundle = endpoint.open.back();
    endpoint.open.pop_back();
    if (!endpoint.open.empty()) {
        lo_bundle_add_bundle(endpoint.open.back(), bundle);
        return 0;
    }
    for (lo_address target : endpoint.targets) {
        lo_send_bundle(target, bundle);
    }
    lo_bundle_free_recursive(bundle);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const RelaySettings settings = RelaySettings::fromArgumentsOrExit(argc, argv);
    const TerminationSignal termination;

    const std::array<std::pair<std::string, std::int32_t>, 3> destinations{{
        {"127.0.0.1", settings.orvaneSendPort},
        {settings.device1Host, settings.device1SendPort},
        {settings.device2Host, settings.device2SendPort},
    }};
    std::array<lo_address, 3> addresses{};
    for (std::size_t index = 0; index < addresses.size(); ++index) {
        // An endpoint whose host does not resolve has no destination, as in the relay under test.
        if (RelaySettings::resolve(destinations[index].first, destinations[index].second)) {
            addresses[index] =
                lo_address_new(destinations[index].first.c_str(),
                               std::to_string(destinations[index].second & 0xFFFF).c_str());
        }
    }

    std::array<Endpoint, 3> endpoints;
    std::vector<pollfd> waits;
    std::vector<Endpoint*> serving;
    const auto ports = settings.listenPorts();
    for (int index = 0; index < 3; ++index) {
        auto& endpoint = endpoints[static_cast<std::size_t>(index)];
        endpoint.server = lo_server_new_with_proto(
            std::to_string(ports[static_cast<std::size_t>(index)] & 0xFFFF).c_str(), LO_UDP,
            reportError);
        if (endpoint.server == nullptr) {
            continue;
        }
        for (int to : RelaySettings::routeFrom(index)) {
            if (addresses[static_cast<std::size_t>(to)] != nullptr) {
                endpoint.targets.push_back(addresses[static_cast<std::size_t>(to)]);
            }
        }
        // Relay at once whatever the bundle's time tag says: scheduling is not a relay's job.
        lo_server_enable_queue(endpoint.server, 0, 1);
        lo_server_add_method(endpoint.server, nullptr, nullptr, relayMessage, &endpoint);
        lo_server_add_bundle_handlers(endpoint.server, bundleStarts, bundleEnds, &endpoint);
        waits.push_back({lo_server_get_socket_fd(endpoint.server), POLLIN, 0});
        serving.push_back(&endpoint);
    }
    waits.push_back({termination.descriptor(), POLLIN, 0});

    for (;;) {
        if (poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((waits.back().revents & POLLIN) != 0) {
            break;
        }
        for (std::size_t index = 0; index < serving.size(); ++index) {
            if ((waits[index].revents & POLLIN) != 0) {
                while (lo_server_recv_noblock(serving[index]->server, 0) > 0) {
                }
            }
        }
    }

    for (Endpoint& endpoint : endpoints) {
        if (endpoint.server != nullptr) {
            lo_server_free(endpoint.server);
        }
    }
    for (lo_address address : addresses) {
        if (address != nullptr) {
            lo_address_free(address);
        }
    }
    return 0;
}
