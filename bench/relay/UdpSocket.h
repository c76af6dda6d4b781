#pragma once

#include <netinet/in.h>

#include <cstdint>

// The few socket calls the reference relays and the load tool share, each reporting failure the
// way the relay under test does: the call's name and the system's error text on standard error.
class UdpSocket {
public:
    // An IPv4 datagram socket bound to the port on every local interface (port 0: one the system
    // picks), or -1.
    static int bound(std::int32_t port);
    // An unbound IPv4 datagram socket for sending, or -1.
    static int unbound();
    // The local port a bound socket holds, or -1.
    static std::int32_t localPort(int descriptor);
    // 127.0.0.1 at the port.
    static sockaddr_in loopback(std::int32_t port);
};
