#include "RelaySettings.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool parsePort(const std::string& text, std::int32_t& port) {
    const char* end = text.data() + text.size();
    auto [next, ec] = std::from_chars(text.data(), end, port);
    return ec == std::errc() && next == end;
}

} // namespace

std::optional<RelaySettings> RelaySettings::fromItems(const std::vector<std::string>& items,
                                                      std::string& error) {
    RelaySettings settings;
    for (const std::string& item : items) {
        const auto equals = item.find('=');
        if (equals == std::string::npos) {
            error = "expected key=value, got '" + item + "'";
            return std::nullopt;
        }
        const std::string key = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        std::int32_t* port = nullptr;
        if (key == "orvaneSendPort") {
            port = &settings.orvaneSendPort;
        } else if (key == "orvaneListenPort") {
            port = &settings.orvaneListenPort;
        } else if (key == "device1SendPort") {
            port = &settings.device1SendPort;
        } else if (key == "device1ListenPort") {
            port = &settings.device1ListenPort;
        } else if (key == "device2SendPort") {
            port = &settings.device2SendPort;
        } else if (key == "device2ListenPort") {
            port = &settings.device2ListenPort;
        } else if (key == "device1Host") {
            settings.device1Host = value;
        } else if (key == "device2Host") {
            settings.device2Host = value;
        } else {
            error = "unknown setting '" + key + "'";
            return std::nullopt;
        }
        if (port != nullptr && !parsePort(value, *port)) {
            error = "setting '" + key + "' needs an integer, got '" + value + "'";
            return std::nullopt;
        }
    }
    return settings;
}

RelaySettings RelaySettings::fromArgumentsOrExit(int argc, char** argv) {
    std::string error;
    auto settings = fromItems(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!settings) {
        std::fprintf(stderr,
                     "%s: %s\nusage: %s [key=value]... with the keys orvaneSendPort, "
                     "orvaneListenPort, device1Host, device1SendPort, device1ListenPort, "
                     "device2Host, device2SendPort, device2ListenPort\n",
                     argv[0], error.c_str(), argv[0]);
        std::exit(2);
    }
    return *settings;
}

std::vector<std::string> RelaySettings::items() const {
    return {
        "orvaneSendPort=" + std::to_string(orvaneSendPort),
        "orvaneListenPort=" + std::to_string(orvaneListenPort),
        "device1Host=" + device1Host,
        "device1SendPort=" + std::to_string(device1SendPort),
        "device1ListenPort=" + std::to_string(device1ListenPort),
        "device2Host=" + device2Host,
        "device2SendPort=" + std::to_string(device2SendPort),
        "device2ListenPort=" + std::to_string(device2ListenPort),
    };
}

std::string RelaySettings::fileText() const {
    std::string text;
    for (const std::string& item : items()) {
        text += item + "\n";
    }
    return text;
}

std::optional<sockaddr_in> RelaySettings::resolve(const std::string& host, std::int32_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return std::nullopt;
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

std::array<std::int32_t, 3> RelaySettings::listenPorts() const {
    return {orvaneListenPort, device1ListenPort, device2ListenPort};
}

std::array<std::optional<sockaddr_in>, 3> RelaySettings::destinations() const {
    return {resolve("127.0.0.1", orvaneSendPort), resolve(device1Host, device1SendPort),
            resolve(device2Host, device2SendPort)};
}

const std::vector<int>& RelaySettings::routeFrom(int endpoint) {
    static const std::array<std::vector<int>, 3> routes = {{{1, 2}, {0}, {0}}};
    return routes.at(static_cast<std::size_t>(endpoint));
}
