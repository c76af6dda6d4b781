// Detached threads.
#pragma once

#include <functional>

/// Threads that nobody joins.
class Thread {
public:
    Thread() = delete;

    /// Runs `body` on a new thread that ends when `body` returns. What `body` captured stays
    /// alive until then and is released on that thread. False, and `body` released at once,
    /// when the system cannot start a thread.
    static bool detachNewThread(std::function<void()> body);
};
