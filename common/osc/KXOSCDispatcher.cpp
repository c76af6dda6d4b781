#include "common/osc/KXOSCDispatcher.h"

#include <string>

#include "common/osc/KXOSCDecoder.h"
#include "platform/Log.h"

void KXOSCDispatcher::dispatchRawPacket(const Data& packet) {
    const auto decoded = KXOSCDecoder::decodeData(packet);
    Log::write("DISPATCH: " + (decoded ? decoded->stringRepresentation() : std::string("(null)")));
}
