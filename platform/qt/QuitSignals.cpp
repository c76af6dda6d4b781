#include "platform/qt/QuitSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The handler may only touch lock-free atomics; -1 while no QuitSignals exists.
std::atomic<int> writeEnd{-1};
} // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
        std::perror("socketpair");
        return;
    }
    readEnd_ = ends[0];
    writeEnd.store(ends[1]);
    notifier_ = new QSocketNotifier(readEnd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte;
        while (::read(readEnd_, &byte, 1) > 0) {
        }
        QCoreApplication::quit();
    });

    struct sigaction action {};
    action.sa_handler = &QuitSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInterrupt_);
    ::sigaction(SIGTERM, &action, &previousTerminate_);
}

QuitSignals::~QuitSignals() {
    if (readEnd_ < 0)
        return;
    ::sigaction(SIGINT, &previousInterrupt_, nullptr);
    ::sigaction(SIGTERM, &previousTerminate_, nullptr);
    delete notifier_;
    ::close(writeEnd.exchange(-1));
    ::close(readEnd_);
}

void QuitSignals::handle(int /*signal*/) {
    const int savedErrno = errno;
    const int end = writeEnd.load();
    // A full socket already holds a pending quit, so a failed write loses nothing.
    if (end >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(end, "q", 1);
    }
    errno = savedErrno;
}
