#include "UdpPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in address(in_addr_t host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    return address;
}

void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

} // namespace

UdpPeer::UdpPeer() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    if (socket_ < 0)
        fail("socket");
    const sockaddr_in local = address(INADDR_LOOPBACK, 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        ::close(socket_);
        fail("bind");
    }
    port_ = ntohs(bound.sin_port);
}

UdpPeer::~UdpPeer() {
    ::close(socket_);
}

std::vector<std::uint16_t> UdpPeer::unusedPorts(std::size_t count) {
    // All probes stay bound until every port is known, so that no port is handed out twice.
    std::vector<int> probes;
    std::vector<std::uint16_t> ports;
    for (std::size_t i = 0; i < count; ++i) {
        const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in any = address(INADDR_ANY, 0);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (probe < 0 || ::bind(probe, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
            fail("probe");
        probes.push_back(probe);
        ports.push_back(ntohs(bound.sin_port));
    }
    for (const int probe : probes)
        ::close(probe);
    return ports;
}

bool UdpPeer::portIsFree(std::uint16_t port) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in any = address(INADDR_ANY, port);
    const bool bound = ::bind(probe, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    ::close(probe);
    return bound;
}

void UdpPeer::sendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) const {
    const sockaddr_in destination = address(INADDR_LOOPBACK, port);
    if (::sendto(socket_, bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&destination), sizeof destination) < 0)
        fail("sendto");
}

std::optional<Bytes> UdpPeer::receive(std::chrono::milliseconds timeout) {
    pollfd ready{socket_, POLLIN, 0};
    int result;
    do {
        result = ::poll(&ready, 1, static_cast<int>(timeout.count()));
    } while (result < 0 && errno == EINTR);
    if (result <= 0)
        return std::nullopt;
    Bytes datagram(65536);
    const ssize_t size = ::recv(socket_, datagram.data(), datagram.size(), 0);
    if (size < 0)
        fail("recv");
    datagram.resize(static_cast<std::size_t>(size));
    return datagram;
}
