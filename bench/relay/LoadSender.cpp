#include "LoadSender.h"

#include "StampedPacket.h"
#include "UdpSocket.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

// Datagrams already due are sent with one system call; at low rates each goes alone, at the
// moment it is due, so the latency figures see no batching.
constexpr std::size_t batch = 32;

std::int64_t now() {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return std::int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

void sleepUntil(std::int64_t nanoseconds) {
    const timespec until{static_cast<time_t>(nanoseconds / 1000000000),
                         static_cast<long>(nanoseconds % 1000000000)};
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

} // namespace

LoadSender::Report LoadSender::send(const std::vector<sockaddr_in>& targets,
                                    std::int32_t firstStream, double ratePerSecond,
                                    std::uint64_t count) {
    // Wake-ups as exact as the system allows: the default slack of 50 microseconds would bunch
    // the datagrams of a low rate.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const int socket = UdpSocket::unbound();
    if (socket < 0) {
        std::exit(1);
    }
    std::array<std::array<unsigned char, StampedPacket::largest>, batch> buffers{};
    std::array<iovec, batch> vectors{};
    std::array<mmsghdr, batch> messages{};

    const auto targetCount = static_cast<std::uint64_t>(targets.size());
    const double interval = 1e9 / ratePerSecond;
    const std::int64_t start = now();
    const auto deadline = start + static_cast<std::int64_t>(2 * interval * count) + 1000000000;
    Report report;
    std::int64_t last = start;
    while (report.sent + report.refused < count) {
        const std::int64_t time = now();
        if (time > deadline) {
            break;
        }
        const std::uint64_t done = report.sent + report.refused;
        const auto due = std::min(count, static_cast<std::uint64_t>((time - start) / interval) + 1);
        if (due <= done) {
            sleepUntil(start + static_cast<std::int64_t>(done * interval));
            continue;
        }
        const std::size_t size = std::min<std::uint64_t>(due - done, batch);
        for (std::size_t index = 0; index < size; ++index) {
            const std::uint64_t number = done + index;
            const auto target = static_cast<std::size_t>(number % targetCount);
            const StampedPacket::Stamp stamp{firstStream + static_cast<std::int32_t>(target),
                                             static_cast<std::int32_t>(number / targetCount), time};
            const std::size_t length = StampedPacket::write(StampedPacket::kindOf(stamp.sequence),
                                                            stamp, buffers[index].data());
            vectors[index] = {buffers[index].data(), length};
            messages[index] = {};
            messages[index].msg_hdr.msg_name = const_cast<sockaddr_in*>(&targets[target]);
            messages[index].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            messages[index].msg_hdr.msg_iov = &vectors[index];
            messages[index].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(socket, messages.data(), static_cast<unsigned>(size), 0);
        if (sent > 0) {
            report.sent += static_cast<std::uint64_t>(sent);
        } else if (errno != EINTR) {
            ++report.refused;
        }
        last = now();
    }
    report.seconds = static_cast<double>(last - start) / 1e9;
    close(socket);
    return report;
}
