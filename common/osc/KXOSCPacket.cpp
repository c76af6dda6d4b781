#include "common/osc/KXOSCPacket.h"

Data KXOSCPacket::packetizedData() const {
    return Data();
}

std::string KXOSCPacket::stringRepresentation() const {
    return "abstract parent class: KXOSCPacket";
}
