// Reference relay: the cost of this design's thread hand-off alone. A receive thread per listen
// port copies each datagram into a buffer of its own and posts it, without waiting, to one main
// thread, which sends the same bytes to the endpoint's destinations. No decoding: the difference
// to the raw forwarder is the copy, the queue and the wake-up of the main thread.

#include "ReceiveThreads.h"
#include "RelaySettings.h"
#include "TerminationSignal.h"
#include "UdpSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

namespace {

struct Delivery {
    int endpoint;
    std::vector<unsigned char> bytes;
};

// Unbounded, like the relay's own posting queue. The main thread is woken only when the queue
// turns non-empty: while it is busy, further posts cost one lock and no system call.
class HandOff {
public:
    HandOff() : wakeUp_(eventfd(0, EFD_CLOEXEC)) {}
    ~HandOff() { close(wakeUp_); }
    HandOff(const HandOff&) = delete;
    HandOff& operator=(const HandOff&) = delete;

    int descriptor() const noexcept { return wakeUp_; }

    void post(Delivery delivery) {
        bool wasEmpty = false;
        {
            const std::lock_guard lock(mutex_);
            wasEmpty = pending_.empty();
            pending_.push_back(std::move(delivery));
        }
        if (wasEmpty) {
            const std::uint64_t one = 1;
            while (write(wakeUp_, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }

    // Everything posted so far, in the order posted; the main thread calls it once woken.
    std::deque<Delivery> take() {
        std::uint64_t count = 0;
        while (read(wakeUp_, &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::deque<Delivery> taken;
        const std::lock_guard lock(mutex_);
        taken.swap(pending_);
        return taken;
    }

private:
    int wakeUp_;
    std::mutex mutex_;
    std::deque<Delivery> pending_;
};

} // namespace

int main(int argc, char** argv) {
    const RelaySettings settings = RelaySettings::fromArgumentsOrExit(argc, argv);
    const TerminationSignal termination;

    const auto addresses = settings.destinations();
    std::array<int, 3> senders{-1, -1, -1};
    for (std::size_t endpoint = 0; endpoint < senders.size(); ++endpoint) {
        if (addresses[endpoint]) {
            senders[endpoint] = UdpSocket::unbound();
        }
    }

    HandOff handOff;
    const auto postCopy = [&handOff](int endpoint, std::span<const unsigned char> datagram) {
        handOff.post({endpoint, std::vector<unsigned char>(datagram.begin(), datagram.end())});
    };
    {
        const ReceiveThreads receiving(settings.listenPorts(), postCopy);

        std::array<pollfd, 2> waits{
            {{handOff.descriptor(), POLLIN, 0}, {termination.descriptor(), POLLIN, 0}}};
        for (;;) {
            if (poll(waits.data(), waits.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if ((waits[1].revents & POLLIN) != 0) {
                break;
            }
            for (const Delivery& delivery : handOff.take()) {
                for (int to : RelaySettings::routeFrom(delivery.endpoint)) {
                    const auto index = static_cast<std::size_t>(to);
                    if (senders[index] < 0) {
                        continue;
                    }
                    sendto(senders[index], delivery.bytes.data(), delivery.bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&*addresses[index]),
                           sizeof(sockaddr_in));
                }
            }
        }
    }
    for (int sender : senders) {
        if (sender >= 0) {
            close(sender);
        }
    }
    return 0;
}
