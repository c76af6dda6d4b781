#include "classes/DelegateWrapper.h"

#include "classes/TandrelController.h"

void DelegateWrapper::dispatchRawPacket(const Data& data) {
    const std::shared_ptr<TandrelController> controller = target();
    if (controller && selector_)
        (controller.get()->*selector_)(data);
}

std::shared_ptr<TandrelController> DelegateWrapper::target() const {
    const std::lock_guard lock(targetMutex_);
    return target_.lock();
}

void DelegateWrapper::setTarget(std::weak_ptr<TandrelController> target) {
    std::weak_ptr<TandrelController> previous;
    const std::lock_guard lock(targetMutex_);
    previous = std::exchange(target_, std::move(target));
}
