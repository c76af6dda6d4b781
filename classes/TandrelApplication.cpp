#include "classes/TandrelApplication.h"

#include "classes/TandrelController.h"
#include "platform/UserDefaults.h"

namespace {

std::string portText(std::int32_t port) {
    std::string text = "port " + std::to_string(port);
    // Only the low 16 bits reach the socket layer.
    const auto effective = static_cast<std::uint16_t>(port);
    if (effective != port)
        text += " (taken as " + std::to_string(effective) + ")";
    return text;
}

std::string endpointLine(const std::string& name, std::int32_t listenPort,
                         const std::optional<std::string>& host, std::int32_t sendPort,
                         bool hasSender) {
    std::string line = "tandrel: " + name + " listens on UDP " + portText(listenPort) + ", ";
    if (hasSender)
        line += "sends to " + *host + " " + portText(sendPort);
    else if (!host || host->empty())
        line += "sends nowhere: no host";
    else
        line += "sends nowhere: \"" + *host + "\" cannot be resolved";
    return line + "\n";
}

} // namespace

TandrelApplication::TandrelApplication(UserDefaults& defaults)
    : controller_(TandrelController::controllerWithUserDefaults(defaults)) {}

TandrelApplication::~TandrelApplication() {
    finish();
}

void TandrelApplication::start() {
    controller_->awakeFromNib();
}

void TandrelApplication::finish() {
    controller_->teardown();
}

std::string TandrelApplication::endpointReport() const {
    const TandrelController& c = *controller_;
    return endpointLine("Orvane  ", c.orvaneListenPort(),
                        std::string(TandrelController::kOrvaneHost), c.orvaneSendPort(),
                        c.orvaneSender() != nullptr) +
           endpointLine("device 1", c.device1ListenPort(), c.device1Host(), c.device1SendPort(),
                        c.device1Sender() != nullptr) +
           endpointLine("device 2", c.device2ListenPort(), c.device2Host(), c.device2SendPort(),
                        c.device2Sender() != nullptr);
}
