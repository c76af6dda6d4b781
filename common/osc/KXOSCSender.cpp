#include "common/osc/KXOSCSender.h"

#include <cstdio>
#include <optional>
#include <utility>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Ascii.h"
#include "platform/Date.h"
#include "platform/RunLoop.h"

namespace {

/// The first IPv4 address of a host name or dotted address. A dotted address is read as it
/// stands (AI_NUMERICHOST), so it never waits for a name service; only other names are looked
/// up. getaddrinfo, unlike gethostbyname, is safe on any thread.
std::optional<in_addr> resolveIPv4(const char* hostName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostName, nullptr, &hints, &found) != 0) {
        hints.ai_flags = 0;
        if (getaddrinfo(hostName, nullptr, &hints, &found) != 0)
            return std::nullopt;
    }
    std::optional<in_addr> address;
    if (found != nullptr && found->ai_addr != nullptr && found->ai_addrlen >= sizeof(sockaddr_in))
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return address;
}

} // namespace

std::shared_ptr<KXOSCSender>
KXOSCSender::senderWithDestinationHostName(const std::optional<std::string>& hostName,
                                           std::int32_t portNumber) {
    std::shared_ptr<KXOSCSender> sender(new KXOSCSender(hostName, portNumber));
    if (!sender->prepareSocket())
        return nullptr;

    RunLoop& loop = RunLoop::main();
    sender->timer_ = loop.scheduledTimerWithTimeInterval(
        kFlushInterval, [weakSender = std::weak_ptr<KXOSCSender>(sender)](RunLoopTimer& timer) {
            // The sender's destructor invalidates this timer, so the sender is there whenever
            // the timer fires; the weak reference keeps the timer from owning it.
            if (const auto strongSender = weakSender.lock())
                strongSender->sendMainBundle(timer);
        });
    loop.addTimer(sender->timer_, RunLoop::Mode::EventTracking);
    return sender;
}

KXOSCSender::~KXOSCSender() {
    close(socketDescriptor_);
    if (timer_)
        timer_->invalidate();
}

bool KXOSCSender::prepareSocket() {
    socketDescriptor_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (socketDescriptor_ == -1) {
        std::perror("socket");
        return false;
    }
    if (!destinationHostName_)
        return false;
    // A zero character would cut the name short when handed on as a C string.
    if (asciiBytesFromString(*destinationHostName_).isAbsent() ||
        destinationHostName_->find('\0') != std::string::npos)
        return false;
    const auto address = resolveIPv4(destinationHostName_->c_str());
    if (!address)
        return false;
    destinationAddress_ = sockaddr_in{};
    destinationAddress_.sin_family = AF_INET;
    destinationAddress_.sin_port = htons(static_cast<std::uint16_t>(portNumber_));
    destinationAddress_.sin_addr = *address;
    return true;
}

bool KXOSCSender::sendOSCPacket(const std::shared_ptr<KXOSCPacket>& packet) {
    if (packet == nullptr)
        return false;
    const Data bytes = packet->packetizedData();
    if (bytes.isAbsent())
        return false;
    return sendto(socketDescriptor_, bytes.bytes(), bytes.size(), 0,
                  reinterpret_cast<const sockaddr*>(&destinationAddress_),
                  sizeof destinationAddress_) != -1;
}

void KXOSCSender::addOSCMessage(std::shared_ptr<KXOSCPacket> message) {
    if (mainBundle_ == nullptr)
        mainBundle_ = KXOSCBundle::bundleWithTimestamp(Date::now());
    mainBundle_->attachObject(std::move(message));
}

void KXOSCSender::sendMainBundle(RunLoopTimer&) {
    if (mainBundle_ == nullptr)
        return;
    const std::shared_ptr<KXOSCPacket> bundle = std::exchange(mainBundle_, nullptr);
    sendOSCPacket(bundle);
}
