// A real UDP socket on the loopback interface, standing in for Orvane or a device.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class UdpPeer {
public:
    /// A socket bound to 127.0.0.1 on a port the system chooses.
    UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;
    ~UdpPeer();

    /// Distinct ports that no socket holds right now on any local address, for listeners to
    /// take.
    static std::vector<std::uint16_t> unusedPorts(std::size_t count);
    /// Whether a socket could bind the port on every local address at this moment.
    static bool portIsFree(std::uint16_t port);

    std::uint16_t port() const noexcept { return port_; }

    /// Sends the bytes as one datagram to 127.0.0.1 at the port.
    void sendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) const;
    /// The next datagram received, or none when none arrives within the time-out. A time-out of
    /// zero only looks at what has already arrived.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int socket_ = -1;
    std::uint16_t port_ = 0;
};
