// The relay: three endpoints, their eight settings and the routing between them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Data.h"

class DelegateWrapper;
class KXOSCListener;
class KXOSCSender;
class UserDefaults;

/// Owns the relay's three endpoints (Orvane on this machine, device 1, device 2), each a
/// listener and a sender, and their eight settings. What arrives from Orvane is decoded once and
/// sent, freshly encoded, to device 1 then device 2; what arrives from either device is sent to
/// Orvane. A datagram that does not decode is dropped.
///
/// Each setting is a property. Its setter stores the value, persists it under the property's
/// name in the settings store, then rebuilds only its own endpoint's sender or listener, even
/// when the value has not changed, and finally tells the observers the property's name. A
/// sender that cannot be built leaves its endpoint without one (what is routed there is
/// dropped); a listener that cannot bind stays in place, deaf, until its port is set again.
///
/// Lifetime: the controller is made by its factory and owned by one owner (the application
/// run). Its wrappers hold it weakly, so listeners and queued deliveries never keep it alive;
/// teardown() (also run by the destructor) stops every listener, releases every sender and
/// drops the observers, whoever else still holds a wrapper. Everything runs on the main thread.
class TandrelController : public std::enable_shared_from_this<TandrelController> {
public:
    /// Told the name of a property after its setter has applied it.
    using Observer = std::function<void(std::string_view property)>;
    using ObserverId = std::uint64_t;

    // The property names, which are also the keys in the settings store.
    static constexpr std::string_view kOrvaneSendPort = "orvaneSendPort";
    static constexpr std::string_view kOrvaneListenPort = "orvaneListenPort";
    static constexpr std::string_view kDevice1Host = "device1Host";
    static constexpr std::string_view kDevice1SendPort = "device1SendPort";
    static constexpr std::string_view kDevice1ListenPort = "device1ListenPort";
    static constexpr std::string_view kDevice2Host = "device2Host";
    static constexpr std::string_view kDevice2SendPort = "device2SendPort";
    static constexpr std::string_view kDevice2ListenPort = "device2ListenPort";

    /// Orvane runs on this machine; only its ports are settings.
    static constexpr std::string_view kOrvaneHost = "127.0.0.1";

    /// A controller that keeps its settings in `defaults`, which must outlive it. Every
    /// setting is zero or missing and no endpoint is open until awakeFromNib().
    static std::shared_ptr<TandrelController> controllerWithUserDefaults(UserDefaults& defaults);

    TandrelController(const TandrelController&) = delete;
    TandrelController& operator=(const TandrelController&) = delete;
    ~TandrelController();

    std::int32_t orvaneSendPort() const noexcept { return orvaneSendPort_; }
    void setOrvaneSendPort(std::int32_t port);
    std::int32_t orvaneListenPort() const noexcept { return orvaneListenPort_; }
    void setOrvaneListenPort(std::int32_t port);

    /// Replaces device 1's sender from its host and send port as they are now.
    void resetDevice1Sender();
    const std::optional<std::string>& device1Host() const noexcept { return device1Host_; }
    void setDevice1Host(std::optional<std::string> host);
    std::int32_t device1SendPort() const noexcept { return device1SendPort_; }
    void setDevice1SendPort(std::int32_t port);
    std::int32_t device1ListenPort() const noexcept { return device1ListenPort_; }
    void setDevice1ListenPort(std::int32_t port);

    /// Replaces device 2's sender from its host and send port as they are now.
    void resetDevice2Sender();
    const std::optional<std::string>& device2Host() const noexcept { return device2Host_; }
    void setDevice2Host(std::optional<std::string> host);
    std::int32_t device2SendPort() const noexcept { return device2SendPort_; }
    void setDevice2SendPort(std::int32_t port);
    std::int32_t device2ListenPort() const noexcept { return device2ListenPort_; }
    void setDevice2ListenPort(std::int32_t port);

    /// Start-up, once: makes the two wrappers, then applies the eight stored settings through
    /// their setters in a fixed order (Orvane send and listen port, then each device's host,
    /// send and listen port), taking the default for a port stored as 0 or not at all and for
    /// a host not stored. Observers added before are told each property.
    void awakeFromNib();

    /// Routes one datagram from Orvane to device 1, then device 2.
    void packetFromOrvane(const Data& data);
    /// Routes one datagram from either device to Orvane.
    void packetFromDevice(const Data& data);

    /// Ends the controller: stops and releases each listener and releases each sender,
    /// endpoint by endpoint (Orvane, device 1, device 2), then the wrappers, the hosts and the
    /// observers. Safe to call more than once.
    void teardown();

    /// Adds an observer; the id removes it again. Observers may add or remove observers and
    /// call setters while being told.
    ObserverId addObserver(Observer observer);
    void removeObserver(ObserverId id);

    // The endpoints as they are now, for reports and tests; any may be missing.
    const std::shared_ptr<KXOSCListener>& orvaneListener() const noexcept {
        return orvaneListener_;
    }
    const std::shared_ptr<KXOSCSender>& orvaneSender() const noexcept { return orvaneSender_; }
    const std::shared_ptr<KXOSCListener>& device1Listener() const noexcept {
        return device1Listener_;
    }
    const std::shared_ptr<KXOSCSender>& device1Sender() const noexcept { return device1Sender_; }
    const std::shared_ptr<KXOSCListener>& device2Listener() const noexcept {
        return device2Listener_;
    }
    const std::shared_ptr<KXOSCSender>& device2Sender() const noexcept { return device2Sender_; }

private:
    explicit TandrelController(UserDefaults& defaults) : defaults_(defaults) {}

    void replaceListener(std::shared_ptr<KXOSCListener>& listener, std::int32_t port,
                         const std::shared_ptr<DelegateWrapper>& delegate);
    void notify(std::string_view property);

    UserDefaults& defaults_;
    std::vector<std::pair<ObserverId, std::shared_ptr<const Observer>>> observers_;
    ObserverId lastObserverId_ = 0;

    std::shared_ptr<DelegateWrapper> fromOrvane_;
    std::shared_ptr<DelegateWrapper> fromDevice_;
    std::shared_ptr<KXOSCListener> orvaneListener_;
    std::shared_ptr<KXOSCSender> orvaneSender_;
    std::int32_t orvaneSendPort_ = 0;
    std::int32_t orvaneListenPort_ = 0;
    std::shared_ptr<KXOSCListener> device1Listener_;
    std::shared_ptr<KXOSCSender> device1Sender_;
    std::optional<std::string> device1Host_;
    std::int32_t device1SendPort_ = 0;
    std::int32_t device1ListenPort_ = 0;
    std::shared_ptr<KXOSCListener> device2Listener_;
    std::shared_ptr<KXOSCSender> device2Sender_;
    std::optional<std::string> device2Host_;
    std::int32_t device2SendPort_ = 0;
    std::int32_t device2ListenPort_ = 0;
};
