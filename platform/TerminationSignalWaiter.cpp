#include "platform/TerminationSignalWaiter.h"

#include <pthread.h>

#include "platform/RunLoop.h"

TerminationSignalWaiter::TerminationSignalWaiter() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] { waitForSignals(); });
}

TerminationSignalWaiter::~TerminationSignalWaiter() {
    ending_.store(true);
    // A signal aimed at the thread itself ends its wait; `ending_` tells it not to stop the
    // loop for it.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
}

void TerminationSignalWaiter::waitForSignals() {
    bool stopped = false;
    for (;;) {
        int number = 0;
        if (sigwait(&signals_, &number) != 0 || ending_.load())
            return;
        // Later signals only wait here until the end.
        if (!stopped)
            RunLoop::main().stop();
        stopped = true;
    }
}
