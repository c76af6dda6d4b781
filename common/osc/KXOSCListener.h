// Receiving OSC datagrams on a local UDP port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/osc/KXOSCRawPacketDelegate.h"
#include "platform/Data.h"

/// Receives the datagrams sent to one local UDP port, on every local IPv4 interface, and hands
/// each one, copied into a buffer of its own, to its delegate on the main thread.
///
/// A receive thread of its own reads the socket; it only copies each datagram and posts the
/// delivery to RunLoop::main() with the delegate of that moment, never waiting for the main
/// thread, so deliveries reach the delegate in the order received. The thread holds a
/// reference to the listener until it ends, so a listener outlives its thread.
///
/// Made, started, stopped and released on the main thread; the delegate accessors may be used
/// from any thread. A listener is always stopped before its owner releases it: an unstopped
/// listener's thread keeps it, and its port, alive.
class KXOSCListener : public std::enable_shared_from_this<KXOSCListener> {
public:
    /// The receive buffer: one byte more than the largest datagram handed on.
    static constexpr std::size_t kReceiveBufferSize = 65507;
    /// A longer datagram is cut to its first kMaximumDatagramSize bytes.
    static constexpr std::size_t kMaximumDatagramSize = 65506;
    /// The most that one listener's deliveries waiting for the main thread may hold, counting
    /// each datagram's bytes and kDeliveryOverhead. When datagrams come faster than the main
    /// thread handles them, a datagram beyond it is dropped and counted, so that memory and
    /// latency stay bounded however long the overload lasts. It holds some twenty times what
    /// the kernel's default receive buffer holds, so a burst that the socket takes fits.
    static constexpr std::size_t kMaximumBytesWaiting = 4 << 20;
    /// What one waiting delivery costs beyond the datagram's bytes: the posted call and the
    /// buffer's bookkeeping.
    static constexpr std::size_t kDeliveryOverhead = 128;

    /// A listener whose delegate is a new KXOSCDispatcher, already receiving on the port given
    /// by the low 16 bits of `port` (0: a port the system chooses). When the socket cannot be
    /// made or bound, "socket" or "bind" and the system's error text are printed on standard
    /// error and the listener is returned all the same; it never delivers.
    static std::shared_ptr<KXOSCListener> defaultListenerOnPort(std::int32_t port);

    /// A new listener: no socket, no delegate, no thread.
    KXOSCListener() = default;
    KXOSCListener(const KXOSCListener&) = delete;
    KXOSCListener& operator=(const KXOSCListener&) = delete;
    /// Closes a socket that was not stopped (one that never got its thread, or whose thread
    /// ended on its own).
    ~KXOSCListener();

    /// The socket's descriptor; -1 when there is none (before the start, after a failed
    /// socket creation, after stopListening). Any other value, 0 included, is an open socket.
    int socketDescriptor() const noexcept { return socketDescriptor_.load(); }

    /// Closes the socket and sets the descriptor to -1. When it returns, a receive blocked on
    /// the socket has been woken without delivering anything, the thread will post nothing
    /// more and will never use the old descriptor number again, and the port can be bound
    /// again at once. Deliveries posted before the stop still run. Safe to call again.
    void stopListening();

    /// How many datagrams were dropped because kMaximumBytesWaiting was reached.
    std::uint64_t droppedDatagrams() const noexcept { return droppedDatagrams_.load(); }

    /// The delegate, or none. The reference returned keeps it alive while the caller uses it,
    /// even when another thread replaces it meanwhile.
    std::shared_ptr<KXOSCRawPacketDelegate> delegate() const;
    /// Takes the new delegate (or none) for the datagrams received from now on; deliveries
    /// already posted keep the delegate they were posted to.
    void setDelegate(std::shared_ptr<KXOSCRawPacketDelegate> delegate);

private:
    /// Opens and binds the socket and starts the receive thread. Called once, by
    /// defaultListenerOnPort, on a listener owned by a std::shared_ptr.
    void startListeningOnPort(std::int32_t port);
    /// The body of the receive thread.
    void listenThread();
    /// Receives and posts until the listener is stopped or a receive fails.
    void receiveLoop(std::uint8_t* buffer);
    void deliver(Data packet);

    std::atomic<int> socketDescriptor_{-1};

    // Shared with the posted deliveries, which may run after the listener has gone.
    const std::shared_ptr<std::atomic<std::size_t>> bytesWaiting_ =
        std::make_shared<std::atomic<std::size_t>>(0);
    std::atomic<std::uint64_t> droppedDatagrams_{0};

    // The stop handshake with the receive thread. `receiving_` is true from the moment the
    // thread takes the descriptor for a receive until it has posted what it received: while it
    // is true, the descriptor may not be closed. `stopped_` is checked after every wake-up.
    mutable std::mutex stateMutex_;
    std::condition_variable receivingEnded_;
    bool receiving_ = false;
    bool stopped_ = false;

    mutable std::mutex delegateMutex_;
    std::shared_ptr<KXOSCRawPacketDelegate> delegate_;
};
