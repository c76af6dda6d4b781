#include "Sink.h"

#include "StampedPacket.h"
#include "UdpSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int receiveQueueBytes = 4 << 20;
constexpr unsigned batch = 64;
// The longest the receive thread goes without looking at the stop flag.
constexpr long pollMicroseconds = 20000;

void setOption(int socket, int name, const void* value, socklen_t size) {
    if (setsockopt(socket, SOL_SOCKET, name, value, size) < 0) {
        std::perror("setsockopt");
        std::exit(1);
    }
}

} // namespace

Sink::Sink() : socket_(UdpSocket::bound(0)), port_(UdpSocket::localPort(socket_)) {
    if (socket_ < 0) {
        std::exit(1);
    }
    const int on = 1;
    setOption(socket_, SO_RCVBUF, &receiveQueueBytes, sizeof receiveQueueBytes);
    setOption(socket_, SO_TIMESTAMPNS, &on, sizeof on);
    setOption(socket_, SO_RXQ_OVFL, &on, sizeof on);
    const timeval wait{0, pollMicroseconds};
    setOption(socket_, SO_RCVTIMEO, &wait, sizeof wait);
}

Sink::~Sink() {
    if (thread_.joinable()) {
        stop();
    }
    close(socket_);
}

void Sink::start(std::size_t expected, std::int32_t firstStream) {
    record_ = {};
    firstStream_ = firstStream;
    record_.arrivals.reserve(expected);
    received_.store(0, std::memory_order_relaxed);
    stopping_.store(false, std::memory_order_relaxed);
    thread_ = std::thread(&Sink::receive, this);
}

Sink::Record Sink::stop() {
    stopping_.store(true, std::memory_order_relaxed);
    thread_.join();
    return std::move(record_);
}

void Sink::receive() {
    std::array<std::array<unsigned char, StampedPacket::largest>, batch> buffers{};
    std::array<
        std::array<unsigned char, CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))>,
        batch>
        controls{};
    std::array<iovec, batch> vectors{};
    std::array<mmsghdr, batch> messages{};
    // The kernel reports the socket's overflow count, cumulative, with each datagram received
    // after the first drop.
    const std::uint32_t overflowAtStart = overflowCount_;
    while (!stopping_.load(std::memory_order_relaxed)) {
        for (unsigned index = 0; index < batch; ++index) {
            vectors[index] = {buffers[index].data(), buffers[index].size()};
            messages[index] = {};
            messages[index].msg_hdr.msg_iov = &vectors[index];
            messages[index].msg_hdr.msg_iovlen = 1;
            messages[index].msg_hdr.msg_control = controls[index].data();
            messages[index].msg_hdr.msg_controllen = controls[index].size();
        }
        const int count = recvmmsg(socket_, messages.data(), batch, MSG_WAITFORONE, nullptr);
        if (count <= 0) {
            continue;
        }
        for (int index = 0; index < count; ++index) {
            const msghdr& header = messages[static_cast<std::size_t>(index)].msg_hdr;
            timespec arrived{};
            bool stamped = false;
            for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
                 control = CMSG_NXTHDR(const_cast<msghdr*>(&header), control)) {
                if (control->cmsg_level != SOL_SOCKET) {
                    continue;
                }
                if (control->cmsg_type == SO_TIMESTAMPNS) {
                    std::memcpy(&arrived, CMSG_DATA(control), sizeof arrived);
                    stamped = true;
                } else if (control->cmsg_type == SO_RXQ_OVFL) {
                    std::memcpy(&overflowCount_, CMSG_DATA(control), sizeof overflowCount_);
                }
            }
            StampedPacket::Stamp stamp;
            const auto length = messages[static_cast<std::size_t>(index)].msg_len;
            if (!stamped || (header.msg_flags & MSG_TRUNC) != 0 ||
                !StampedPacket::read(buffers[static_cast<std::size_t>(index)].data(), length,
                                     stamp)) {
                ++record_.corrupted;
                continue;
            }
            const std::int64_t arrivedNanoseconds =
                std::int64_t{arrived.tv_sec} * 1000000000 + arrived.tv_nsec;
            record_.arrivals.push_back(
                {stamp.stream, stamp.sequence, arrivedNanoseconds - stamp.sentNanoseconds});
            if (stamp.stream >= firstStream_) {
                received_.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
    record_.droppedBySink = overflowCount_ - overflowAtStart;
}
