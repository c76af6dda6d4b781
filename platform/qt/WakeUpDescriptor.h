// An eventfd that one thread writes to wake another.
#pragma once

/// An eventfd for waking the Qt main thread from any thread without touching a Qt object:
/// signal() from any thread (it is also async-signal-safe), and a QSocketNotifier watching
/// descriptor() on the main thread, which calls drain() once it has woken. Wake-ups made before
/// a drain count as one.
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
