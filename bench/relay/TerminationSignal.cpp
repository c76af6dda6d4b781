#include "TerminationSignal.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

TerminationSignal::TerminationSignal() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    descriptor_ = signalfd(-1, &signals, SFD_CLOEXEC);
    if (descriptor_ < 0) {
        std::perror("signalfd");
        std::exit(1);
    }
}

TerminationSignal::~TerminationSignal() {
    close(descriptor_);
}

void TerminationSignal::wait() const {
    pollfd ready{descriptor_, POLLIN, 0};
    while (poll(&ready, 1, -1) < 0 && errno == EINTR) {
    }
}
