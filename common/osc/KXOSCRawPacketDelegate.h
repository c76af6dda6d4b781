// What a listener hands each received datagram to.
#pragma once

#include "platform/Data.h"

/// The receiver of a listener's datagrams (KXOSCDispatcher, or the relay's own adapter). A
/// listener holds its delegate by counted reference; each delivery also holds the delegate it
/// was posted to until it has run.
class KXOSCRawPacketDelegate {
public:
    virtual ~KXOSCRawPacketDelegate() = default;

    /// One datagram's bytes, 0 to 65506 of them; called on the main thread. A delegate that
    /// keeps the buffer keeps its own reference to it.
    virtual void dispatchRawPacket(const Data& packet) = 0;

protected:
    KXOSCRawPacketDelegate() = default;
    KXOSCRawPacketDelegate(const KXOSCRawPacketDelegate&) = default;
    KXOSCRawPacketDelegate& operator=(const KXOSCRawPacketDelegate&) = default;
};
