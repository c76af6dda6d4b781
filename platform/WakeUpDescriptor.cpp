#include "platform/WakeUpDescriptor.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

WakeUpDescriptor::WakeUpDescriptor() : descriptor_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (descriptor_ == -1)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeUpDescriptor::~WakeUpDescriptor() {
    close(descriptor_);
}

void WakeUpDescriptor::signal() const noexcept {
    const std::uint64_t one = 1;
    // A full counter (never reached in practice) already means "wake up".
    [[maybe_unused]] const ssize_t written = write(descriptor_, &one, sizeof one);
}

void WakeUpDescriptor::drain() const noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(descriptor_, &count, sizeof count);
}
