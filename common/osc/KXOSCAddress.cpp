#include "common/osc/KXOSCAddress.h"

#include "common/osc/KXOSCDataUtilities.h"

std::shared_ptr<KXOSCAddress>
KXOSCAddress::addressWithString(std::optional<std::string_view> string) {
    if (!string)
        return nullptr;
    return std::make_shared<KXOSCAddress>(std::string(*string));
}

std::shared_ptr<KXOSCAddress>
KXOSCAddress::addressWithArray(const std::vector<std::string>& elements) {
    std::size_t length = 0;
    for (const std::string& element : elements)
        length += 1 + element.size();
    std::string address;
    address.reserve(length);
    // Elements are not examined: an empty one leaves a lone "/", and one holding "/" stays whole.
    for (const std::string& element : elements) {
        address += '/';
        address += element;
    }
    return std::make_shared<KXOSCAddress>(std::move(address));
}

Data KXOSCAddress::packetizedData() const {
    return KXOSCDataUtilities::dataBlockFromString(address_);
}
