#include "common/osc/KXOSCListener.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <span>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/osc/KXOSCDispatcher.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/Thread.h"

std::shared_ptr<KXOSCListener> KXOSCListener::defaultListenerOnPort(std::int32_t port) {
    auto listener = std::make_shared<KXOSCListener>();
    listener->setDelegate(std::make_shared<KXOSCDispatcher>());
    listener->startListeningOnPort(port);
    return listener;
}

KXOSCListener::~KXOSCListener() {
    // The thread, if there was one, has ended: it held a reference until then. So this never
    // waits, also when the last reference goes on the receive thread itself.
    if (socketDescriptor_.load() >= 0)
        stopListening();
}

void KXOSCListener::startListeningOnPort(std::int32_t port) {
    const int descriptor = socket(AF_INET, SOCK_DGRAM, 0);
    socketDescriptor_.store(descriptor);
    if (descriptor == -1) {
        std::perror("socket");
        return;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) == -1) {
        std::perror("bind");
        return;
    }
    // A listener whose thread cannot start stays bound and delivers nothing, like one whose
    // receive has failed.
    Thread::detachNewThread([self = shared_from_this()] { self->listenThread(); });
}

void KXOSCListener::listenThread() {
    try {
        const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReceiveBufferSize);
        receiveLoop(buffer.get());
    } catch (const std::exception& error) {
        // Formatted without allocating: nothing may escape the thread's body.
        char line[512];
        std::snprintf(line, sizeof line, "error with listen thread %s", error.what());
        Log::write(line);
    }
    std::lock_guard lock(stateMutex_);
    receiving_ = false;
    receivingEnded_.notify_all();
}

void KXOSCListener::receiveLoop(std::uint8_t* buffer) {
    sockaddr_in source{};
    socklen_t sourceLength = sizeof source;
    std::unique_lock lock(stateMutex_);
    for (;;) {
        const int descriptor = socketDescriptor_.load();
        if (stopped_ || descriptor < 0)
            return;
        receiving_ = true;
        lock.unlock();

        const ssize_t received = recvfrom(descriptor, buffer, kMaximumDatagramSize, 0,
                                          reinterpret_cast<sockaddr*>(&source), &sourceLength);
        const int receiveError = errno;

        lock.lock();
        // After a stop, whatever woke the receive is not delivered: the zero-length read that
        // the stop's shutdown causes, or a datagram that came at the same moment.
        if (stopped_)
            return;
        if (received < 0) {
            // A signal is no failure of the socket; anything else leaves the listener deaf.
            if (receiveError == EINTR)
                continue;
            return;
        }
        lock.unlock();

        deliver(Data::copyOf(std::span(buffer, static_cast<std::size_t>(received))));

        lock.lock();
    }
}

void KXOSCListener::deliver(Data packet) {
    auto delegate = this->delegate();
    if (delegate == nullptr)
        return;
    const std::size_t cost = packet.size() + kDeliveryOverhead;
    if (bytesWaiting_->fetch_add(cost) + cost > kMaximumBytesWaiting) {
        bytesWaiting_->fetch_sub(cost);
        droppedDatagrams_.fetch_add(1);
        return;
    }
    RunLoop::main().post([delegate = std::move(delegate), packet = std::move(packet),
                          waiting = bytesWaiting_, cost] {
        waiting->fetch_sub(cost);
        delegate->dispatchRawPacket(packet);
    });
}

void KXOSCListener::stopListening() {
    std::unique_lock lock(stateMutex_);
    stopped_ = true;
    const int descriptor = socketDescriptor_.exchange(-1);
    // Closing a descriptor does not wake a receive blocked on it, and would free its number
    // for the next socket while the thread may still use it. A shutdown wakes the receive
    // (and makes one about to start return at once); the thread then sees `stopped_` and
    // leaves. Only once it has let go of the descriptor is the socket closed, which frees the
    // port at once. On an unconnected socket the shutdown reports ENOTCONN and still works.
    if (receiving_ && descriptor >= 0)
        shutdown(descriptor, SHUT_RDWR);
    receivingEnded_.wait(lock, [this] { return !receiving_; });
    lock.unlock();
    close(descriptor);
}

std::shared_ptr<KXOSCRawPacketDelegate> KXOSCListener::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_;
}

void KXOSCListener::setDelegate(std::shared_ptr<KXOSCRawPacketDelegate> delegate) {
    {
        std::lock_guard lock(delegateMutex_);
        std::swap(delegate_, delegate);
    }
    // The old delegate, now in `delegate`, is released outside the lock.
}
