#include "classes/TandrelController.h"

#include <algorithm>

#include "classes/DelegateWrapper.h"
#include "common/osc/KXOSCDecoder.h"
#include "common/osc/KXOSCListener.h"
#include "common/osc/KXOSCSender.h"
#include "platform/UserDefaults.h"

namespace {

constexpr std::int32_t kDefaultOrvaneSendPort = 5000;
constexpr std::int32_t kDefaultOrvaneListenPort = 5001;
constexpr std::string_view kDefaultDeviceHost = "localhost";
constexpr std::int32_t kDefaultDevice1SendPort = 5011;
constexpr std::int32_t kDefaultDevice1ListenPort = 5010;
constexpr std::int32_t kDefaultDevice2SendPort = 5021;
constexpr std::int32_t kDefaultDevice2ListenPort = 5020;

void stopAndRelease(std::shared_ptr<KXOSCListener>& listener) {
    if (!listener)
        return;
    listener->stopListening();
    listener.reset();
}

std::shared_ptr<DelegateWrapper> wrapperFor(std::weak_ptr<TandrelController> target,
                                            DelegateWrapper::Selector selector) {
    auto wrapper = std::make_shared<DelegateWrapper>();
    wrapper->setTarget(std::move(target));
    wrapper->setSelector(selector);
    return wrapper;
}

} // namespace

std::shared_ptr<TandrelController>
TandrelController::controllerWithUserDefaults(UserDefaults& defaults) {
    return std::shared_ptr<TandrelController>(new TandrelController(defaults));
}

TandrelController::~TandrelController() {
    teardown();
}

void TandrelController::setOrvaneSendPort(std::int32_t port) {
    orvaneSendPort_ = port;
    defaults_.setInteger(port, kOrvaneSendPort);
    orvaneSender_.reset();
    orvaneSender_ =
        KXOSCSender::senderWithDestinationHostName(std::string(kOrvaneHost), orvaneSendPort_);
    notify(kOrvaneSendPort);
}

void TandrelController::setOrvaneListenPort(std::int32_t port) {
    orvaneListenPort_ = port;
    defaults_.setInteger(port, kOrvaneListenPort);
    replaceListener(orvaneListener_, orvaneListenPort_, fromOrvane_);
    notify(kOrvaneListenPort);
}

void TandrelController::resetDevice1Sender() {
    device1Sender_.reset();
    device1Sender_ = KXOSCSender::senderWithDestinationHostName(device1Host_, device1SendPort_);
}

void TandrelController::setDevice1Host(std::optional<std::string> host) {
    device1Host_ = std::move(host);
    defaults_.setValue(device1Host_, kDevice1Host);
    resetDevice1Sender();
    notify(kDevice1Host);
}

void TandrelController::setDevice1SendPort(std::int32_t port) {
    device1SendPort_ = port;
    defaults_.setInteger(port, kDevice1SendPort);
    resetDevice1Sender();
    notify(kDevice1SendPort);
}

void TandrelController::setDevice1ListenPort(std::int32_t port) {
    device1ListenPort_ = port;
    defaults_.setInteger(port, kDevice1ListenPort);
    replaceListener(device1Listener_, device1ListenPort_, fromDevice_);
    notify(kDevice1ListenPort);
}

void TandrelController::resetDevice2Sender() {
    device2Sender_.reset();
    device2Sender_ = KXOSCSender::senderWithDestinationHostName(device2Host_, device2SendPort_);
}

void TandrelController::setDevice2Host(std::optional<std::string> host) {
    device2Host_ = std::move(host);
    defaults_.setValue(device2Host_, kDevice2Host);
    resetDevice2Sender();
    notify(kDevice2Host);
}

void TandrelController::setDevice2SendPort(std::int32_t port) {
    device2SendPort_ = port;
    defaults_.setInteger(port, kDevice2SendPort);
    resetDevice2Sender();
    notify(kDevice2SendPort);
}

void TandrelController::setDevice2ListenPort(std::int32_t port) {
    device2ListenPort_ = port;
    defaults_.setInteger(port, kDevice2ListenPort);
    replaceListener(device2Listener_, device2ListenPort_, fromDevice_);
    notify(kDevice2ListenPort);
}

void TandrelController::awakeFromNib() {
    fromOrvane_ = wrapperFor(weak_from_this(), &TandrelController::packetFromOrvane);
    fromDevice_ = wrapperFor(weak_from_this(), &TandrelController::packetFromDevice);

    const auto port = [this](std::string_view key, std::int32_t fallback) {
        const std::int32_t stored = defaults_.integerForKey(key);
        return stored != 0 ? stored : fallback;
    };
    const auto host = [this](std::string_view key) {
        std::optional<std::string> stored = defaults_.stringForKey(key);
        return stored ? std::move(*stored) : std::string(kDefaultDeviceHost);
    };
    setOrvaneSendPort(port(kOrvaneSendPort, kDefaultOrvaneSendPort));
    setOrvaneListenPort(port(kOrvaneListenPort, kDefaultOrvaneListenPort));
    setDevice1Host(host(kDevice1Host));
    setDevice1SendPort(port(kDevice1SendPort, kDefaultDevice1SendPort));
    setDevice1ListenPort(port(kDevice1ListenPort, kDefaultDevice1ListenPort));
    setDevice2Host(host(kDevice2Host));
    setDevice2SendPort(port(kDevice2SendPort, kDefaultDevice2SendPort));
    setDevice2ListenPort(port(kDevice2ListenPort, kDefaultDevice2ListenPort));
}

void TandrelController::packetFromOrvane(const Data& data) {
    const std::shared_ptr<KXOSCPacket> packet = KXOSCDecoder::decodeData(data);
    if (!packet)
        return;
    if (device1Sender_)
        device1Sender_->sendOSCPacket(packet);
    if (device2Sender_)
        device2Sender_->sendOSCPacket(packet);
}

void TandrelController::packetFromDevice(const Data& data) {
    const std::shared_ptr<KXOSCPacket> packet = KXOSCDecoder::decodeData(data);
    if (packet && orvaneSender_)
        orvaneSender_->sendOSCPacket(packet);
}

void TandrelController::teardown() {
    stopAndRelease(orvaneListener_);
    orvaneSender_.reset();
    stopAndRelease(device1Listener_);
    device1Sender_.reset();
    stopAndRelease(device2Listener_);
    device2Sender_.reset();
    // Listeners may still have deliveries queued for the wrappers: once cleared, those find no
    // target, even if something else keeps this controller alive.
    for (std::shared_ptr<DelegateWrapper>* wrapper : {&fromOrvane_, &fromDevice_}) {
        if (*wrapper)
            (*wrapper)->setTarget({});
        wrapper->reset();
    }
    device1Host_.reset();
    device2Host_.reset();
    // Observers may hold the controller themselves; dropping them breaks such a cycle.
    observers_.clear();
}

TandrelController::ObserverId TandrelController::addObserver(Observer observer) {
    observers_.emplace_back(++lastObserverId_,
                            std::make_shared<const Observer>(std::move(observer)));
    return lastObserverId_;
}

void TandrelController::removeObserver(ObserverId id) {
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void TandrelController::replaceListener(std::shared_ptr<KXOSCListener>& listener, std::int32_t port,
                                        const std::shared_ptr<DelegateWrapper>& delegate) {
    stopAndRelease(listener);
    listener = KXOSCListener::defaultListenerOnPort(port);
    listener->setDelegate(delegate);
}

void TandrelController::notify(std::string_view property) {
    // A snapshot, so that observers may change the list while being told; one removed
    // meanwhile is no longer told.
    const auto snapshot = observers_;
    for (const auto& entry : snapshot) {
        const ObserverId id = entry.first;
        const bool stillObserving =
            std::any_of(observers_.begin(), observers_.end(),
                        [id](const auto& current) { return current.first == id; });
        if (stillObserving)
            (*entry.second)(property);
    }
}
