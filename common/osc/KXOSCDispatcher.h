// The default delegate of a listener: logs each packet it receives.
#pragma once

#include "common/osc/KXOSCRawPacketDelegate.h"
#include "platform/Data.h"

/// Decodes each datagram and writes its text form to the log as "DISPATCH: <packet>", with
/// "(null)" for a datagram that holds no packet. Every new listener starts with one.
class KXOSCDispatcher : public KXOSCRawPacketDelegate {
public:
    void dispatchRawPacket(const Data& packet) override;
};
