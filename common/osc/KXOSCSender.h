// Sending OSC packets to a UDP destination.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <netinet/in.h>

#include "common/osc/KXOSCBundle.h"
#include "common/osc/KXOSCPacket.h"
#include "platform/RunLoopTimer.h"

/// Sends OSC packets as UDP datagrams to one destination, resolved once when the sender is
/// made. Messages may also be collected into one bundle that a repeating 0.01-second timer on
/// the main run loop flushes; the timer fires in the default and the event-tracking modes and
/// refers to the sender without owning it.
///
/// The owner holds the only owning reference: releasing it destroys the sender at once, which
/// stops the timer, closes the socket and drops a collected bundle unsent. A sender is made,
/// used and released on the main thread, where its timer fires.
class KXOSCSender {
public:
    /// The flush timer's interval, in seconds.
    static constexpr double kFlushInterval = 0.01;

    /// A sender to the host (a name or a dotted IPv4 address) and to the port given by the low
    /// 16 bits of `portNumber`; none when no socket can be made ("socket" and the system's
    /// error text are printed on standard error) or when the host is missing, holds a
    /// character outside ASCII (or a zero character), or does not resolve to an IPv4 address
    /// (nothing printed). A dotted address is taken as it stands, without any lookup; a name is
    /// looked up on the calling thread, which waits for the answer, and its first IPv4 address
    /// is used.
    static std::shared_ptr<KXOSCSender>
    senderWithDestinationHostName(const std::optional<std::string>& hostName,
                                  std::int32_t portNumber);

    KXOSCSender(const KXOSCSender&) = delete;
    KXOSCSender& operator=(const KXOSCSender&) = delete;
    ~KXOSCSender();

    int socketDescriptor() const noexcept { return socketDescriptor_; }
    std::int32_t portNumber() const noexcept { return portNumber_; }
    const std::optional<std::string>& destinationHostName() const noexcept {
        return destinationHostName_;
    }
    const sockaddr_in& destinationAddress() const noexcept { return destinationAddress_; }
    /// The collected bundle, or none between a flush and the next addition.
    const std::shared_ptr<KXOSCBundle>& mainBundle() const noexcept { return mainBundle_; }
    const std::shared_ptr<RunLoopTimer>& timer() const noexcept { return timer_; }

    /// Encodes the packet and sends its bytes as one datagram, at once; false when the send
    /// fails (a datagram larger than the socket layer takes, no route, ...). Nothing is printed
    /// or retried.
    ///
    /// No packet (what the decoder gives for a datagram it cannot read), or a packet without
    /// bytes (a bundle without elements), has nothing to put in a datagram: nothing is sent and
    /// the result is false.
    bool sendOSCPacket(const std::shared_ptr<KXOSCPacket>& packet);

    /// Adds the packet to the collected bundle, after those added before; the first addition
    /// after a flush makes the bundle, stamped with the date of that moment.
    void addOSCMessage(std::shared_ptr<KXOSCPacket> message);

    /// The timer's action: sends the collected bundle, if any, and drops it whether or not the
    /// send succeeded.
    void sendMainBundle(RunLoopTimer& timer);

private:
    KXOSCSender(std::optional<std::string> hostName, std::int32_t portNumber)
        : portNumber_(portNumber), destinationHostName_(std::move(hostName)) {}

    /// Makes the socket and resolves the destination; false when either fails.
    bool prepareSocket();

    int socketDescriptor_ = -1;
    std::int32_t portNumber_;
    std::optional<std::string> destinationHostName_;
    sockaddr_in destinationAddress_{};
    std::shared_ptr<KXOSCBundle> mainBundle_;
    std::shared_ptr<RunLoopTimer> timer_;
};
