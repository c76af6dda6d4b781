// The three peers of a relay under test, as a mixin for test fixtures.
#pragma once

#include <cstdint>
#include <vector>

#include "UdpPeer.h"

class UserDefaults;

/// Orvane and the two devices, each a real socket on 127.0.0.1, and ports that no socket holds
/// for the relay to listen on.
class RelayPeers {
protected:
    /// Settings that aim the relay at the peers (device 1 by name, device 2 by address) and have
    /// it listen on the first three free ports.
    void storeRoutableSettings(UserDefaults& store) const;

    UdpPeer orvane_;
    UdpPeer device1_;
    UdpPeer device2_;
    /// The relay's three listen ports, then a spare one to move a listener to.
    const std::vector<std::uint16_t> listenPorts_ = UdpPeer::unusedPorts(4);
    const std::uint16_t orvaneListen_ = listenPorts_[0];
    const std::uint16_t device1Listen_ = listenPorts_[1];
    const std::uint16_t device2Listen_ = listenPorts_[2];
    const std::uint16_t spareListen_ = listenPorts_[3];
};
