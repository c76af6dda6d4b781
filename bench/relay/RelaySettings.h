#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The eight settings every relay under test takes, spelled as the relay's own settings file
// spells them, so one value set configures the shipped relay (through its file) and the reference
// relays (through "key=value" arguments) alike.
class RelaySettings {
public:
    // Reads "key=value" items; unknown keys and malformed values are an error (nullopt), so a
    // typo never silently runs a relay on a default port.
    static std::optional<RelaySettings> fromItems(const std::vector<std::string>& items,
                                                  std::string& error);

    // The settings a reference relay was started with (its arguments after the program name);
    // prints the usage and exits on a bad argument.
    static RelaySettings fromArgumentsOrExit(int argc, char** argv);

    // The items in the order the relay applies them, one "key=value" each.
    std::vector<std::string> items() const;
    // The same items as the lines of a settings file.
    std::string fileText() const;

    // Resolves an IPv4 host and port into a socket address; nullopt when the host does not
    // resolve.
    static std::optional<sockaddr_in> resolve(const std::string& host, std::int32_t port);

    // The three endpoints, in the order Orvane, device 1, device 2: where each listens, and where
    // each sends (Orvane always at the loopback address; nullopt for a host that does not resolve,
    // which leaves that endpoint without a destination, as in the relay under test).
    std::array<std::int32_t, 3> listenPorts() const;
    std::array<std::optional<sockaddr_in>, 3> destinations() const;
    // Where a datagram received by an endpoint goes: from Orvane to both devices, from either
    // device to Orvane.
    static const std::vector<int>& routeFrom(int endpoint);

    std::int32_t orvaneSendPort = 5000;
    std::int32_t orvaneListenPort = 5001;
    std::string device1Host = "localhost";
    std::int32_t device1SendPort = 5011;
    std::int32_t device1ListenPort = 5010;
    std::string device2Host = "localhost";
    std::int32_t device2SendPort = 5021;
    std::int32_t device2ListenPort = 5020;
};
