#include "platform/qt/QuitSignals.h"

#include <QCoreApplication>

#include <pthread.h>

sigset_t QuitSignals::terminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void QuitSignals::blockTerminationSignals() {
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

QuitSignals::QuitSignals(QObject* parent)
    : QObject(parent),
      quitNotifier_(new QSocketNotifier(quit_.descriptor(), QSocketNotifier::Read, this)) {
    connect(quitNotifier_, &QSocketNotifier::activated, this, [this] {
        quit_.drain();
        QCoreApplication::quit();
    });
    blockTerminationSignals();
    thread_ = std::thread([this] { waitForSignals(); });
}

QuitSignals::~QuitSignals() {
    ending_.store(true);
    // A signal aimed at the thread itself ends its wait; `ending_` tells it not to quit for it.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
}

void QuitSignals::waitForSignals() {
    const sigset_t set = terminationSignals();
    for (;;) {
        int number = 0;
        if (sigwait(&set, &number) != 0 || ending_.load())
            return;
        // Kept by the descriptor until the event loop, running or starting later, looks at it.
        quit_.signal();
    }
}
