// The common base of OSC messages and bundles.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Data.h"

/// What every OSC packet answers: its bytes as one datagram and its text for the log.
/// Messages and bundles override both; the base's own versions give no buffer and the text
/// "abstract parent class: KXOSCPacket".
class KXOSCPacket {
public:
    KXOSCPacket() = default;
    KXOSCPacket(const KXOSCPacket&) = delete;
    KXOSCPacket& operator=(const KXOSCPacket&) = delete;
    virtual ~KXOSCPacket() = default;

    virtual Data packetizedData() const;
    virtual std::string stringRepresentation() const;
};

/// A packet with an ordered list of contained objects of one kind: arguments for a message,
/// packets for a bundle. The list is absent until the first attach, which creates it; objects
/// are only ever appended.
template <typename Contained> class KXOSCContainerPacket : public KXOSCPacket {
public:
    using ObjectList = std::vector<std::shared_ptr<Contained>>;

    /// No object: nothing happens, and the list is not created.
    void attachObject(std::shared_ptr<Contained> object) {
        if (object == nullptr)
            return;
        if (!containedObjects_)
            containedObjects_.emplace();
        containedObjects_->push_back(std::move(object));
    }
    /// Creates the list if absent, also for an empty list, then appends in order. No objects
    /// (null pointers) in the given list are left out: every contained object is present.
    void attachObjects(const ObjectList& objects) {
        if (!containedObjects_)
            containedObjects_.emplace();
        for (const auto& object : objects)
            if (object != nullptr)
                containedObjects_->push_back(object);
    }
    void attachObjects(ObjectList&& objects) {
        if (!containedObjects_ &&
            std::find(objects.begin(), objects.end(), nullptr) == objects.end()) {
            containedObjects_.emplace(std::move(objects));
            return;
        }
        attachObjects(static_cast<const ObjectList&>(objects));
    }
    /// The list itself, or no list when nothing was ever attached.
    const std::optional<ObjectList>& attachedObjects() const noexcept { return containedObjects_; }

protected:
    /// Hands the whole list over and leaves none; for a teardown that must not recurse.
    std::optional<ObjectList> takeAttachedObjects() noexcept {
        return std::exchange(containedObjects_, std::nullopt);
    }

private:
    std::optional<ObjectList> containedObjects_;
};
