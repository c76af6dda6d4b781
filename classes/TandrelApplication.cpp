#include "classes/TandrelApplication.h"

#include <cstdio>

#include "classes/TandrelController.h"
#include "platform/RunLoop.h"
#include "platform/TerminationSignalWaiter.h"
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

int TandrelApplication::applicationMain(int, char**) {
    // First, before any thread exists, so that every thread inherits the blocked signals and
    // a signal during start-up also ends the run cleanly.
    const TerminationSignalWaiter signals;
    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    TandrelApplication application(defaults);
    application.start();
    const std::string report = "tandrel: settings in " + defaults.path().string() + "\n" +
                               application.endpointReport() +
                               "tandrel: relaying until interrupted (Ctrl+C)\n";
    std::fputs(report.c_str(), stderr);
    RunLoop::main().run();
    application.finish();
    std::fputs("tandrel: stopped\n", stderr);
    return 0;
}

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
