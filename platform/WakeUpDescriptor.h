// An eventfd that one thread writes to wake another.
#pragma once

/// An eventfd that wakes a thread waiting for it in poll() or in an event loop watching
/// descriptor(): signal() from any thread (it is also async-signal-safe); the woken thread calls
/// drain(). Wake-ups made before a drain count as one.
class WakeUpDescriptor {
public:
    /// Throws std::system_error when no eventfd can be made.
    WakeUpDescriptor();
    WakeUpDescriptor(const WakeUpDescriptor&) = delete;
    WakeUpDescriptor& operator=(const WakeUpDescriptor&) = delete;
    ~WakeUpDescriptor();

    int descriptor() const noexcept { return descriptor_; }

    void signal() const noexcept;
    void drain() const noexcept;

private:
    const int descriptor_;
};
