// Datagram bytes back to OSC messages and bundles.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/osc/KXOSCArgument.h"
#include "common/osc/KXOSCBundle.h"
#include "common/osc/KXOSCMessage.h"
#include "platform/Data.h"

/// Reads one datagram into a message or a bundle. Stateless; safe on any thread; never reads
/// outside the buffer it is given.
class KXOSCDecoder {
public:
    KXOSCDecoder() = delete;

    /// A message or a bundle, or no packet (nullptr) when the datagram cannot be read.
    static std::shared_ptr<KXOSCPacket> decodeData(const Data& data);
};
