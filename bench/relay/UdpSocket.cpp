#include "UdpSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

int UdpSocket::bound(std::int32_t port) {
    const int descriptor = unbound();
    if (descriptor < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        std::perror("bind");
        close(descriptor);
        return -1;
    }
    return descriptor;
}

int UdpSocket::unbound() {
    const int descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        std::perror("socket");
    }
    return descriptor;
}

std::int32_t UdpSocket::localPort(int descriptor) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

sockaddr_in UdpSocket::loopback(std::int32_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}
