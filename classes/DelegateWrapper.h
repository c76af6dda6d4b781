// The adapter that turns a listener's deliveries into calls of one controller operation.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "common/osc/KXOSCRawPacketDelegate.h"
#include "platform/Data.h"

class TandrelController;

/// A raw-packet delegate that calls one routing operation (`selector`) of the relay controller
/// (`target`) with each datagram a listener delivers.
///
/// The target is held without ownership. The controller owns its wrappers, and listeners and
/// deliveries queued on the main run loop hold them too; a wrapper that owned the controller
/// would close a cycle (controller, wrapper, controller) that no release could break, and
/// would keep the controller alive through any delivery still queued. With a weak target,
/// the controller's lifetime is its owner's alone: a delivery that runs after the controller
/// has ended finds no target and is dropped.
class DelegateWrapper : public KXOSCRawPacketDelegate {
public:
    using Selector = void (TandrelController::*)(const Data&);

    DelegateWrapper() = default;

    /// Calls the selector on the target with the datagram, when both are set and the target
    /// still exists. Main thread.
    void dispatchRawPacket(const Data& data) override;

    /// The target, or none once it has ended or been cleared. Safe from any thread.
    std::shared_ptr<TandrelController> target() const;
    void setTarget(std::weak_ptr<TandrelController> target);
    Selector selector() const noexcept { return selector_; }
    void setSelector(Selector selector) noexcept { selector_ = selector; }

private:
    mutable std::mutex targetMutex_;
    std::weak_ptr<TandrelController> target_;
    Selector selector_ = nullptr;
};
