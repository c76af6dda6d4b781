// The relay run for a while with traffic on every route while its settings change in a loop.
#include "classes/TandrelController.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "UdpPeer.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "support/LoopDriver.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// How long the settings keep changing: TANDREL_SOAK_SECONDS, 10 by default (the CI run).
std::chrono::duration<double> soakDuration() {
    const char* seconds = std::getenv("TANDREL_SOAK_SECONDS");
    return std::chrono::duration<double>(seconds ? std::atof(seconds) : 10.0);
}

std::size_t entriesIn(const char* folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

std::size_t openDescriptors() {
    return entriesIn("/proc/self/fd");
}
std::size_t threads() {
    return entriesIn("/proc/self/task");
}

/// Polls `condition` until it holds or `limit` has passed; the result is the condition's.
bool eventually(const std::function<bool()>& condition, Clock::duration limit = 10s) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return condition();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The soak's datagrams: "/soak/R" with the route R (0 Orvane to the devices, 1 and 2 device 1
// and device 2 to Orvane), a sequence number and the listen port it was sent to; "/soak/e"
// with the route ends a route's traffic; "/soak/p" goes to a listen port just left, and must
// never come out of the relay. All are 20 bytes, as the relay writes them again.
enum Route : int { FromOrvane = 0, FromDevice1 = 1, FromDevice2 = 2 };
constexpr std::size_t kDatagramSize = 20;

std::array<std::uint8_t, kDatagramSize> datagram(char kind, std::int32_t first,
                                                 std::int32_t second) {
    std::array<std::uint8_t, kDatagramSize> bytes{
        '/', 's', 'o', 'a', 'k', '/', static_cast<std::uint8_t>(kind), 0, ',', 'i', 'i', 0};
    const std::uint32_t words[] = {htonl(static_cast<std::uint32_t>(first)),
                                   htonl(static_cast<std::uint32_t>(second))};
    std::memcpy(bytes.data() + 12, words, sizeof words);
    return bytes;
}

class UdpSocket {
public:
    UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket() { ::close(fd_); }

    int fd() const noexcept { return fd_; }
    std::uint16_t port() const noexcept { return port_; }

    void sendTo(std::uint16_t port, const std::array<std::uint8_t, kDatagramSize>& bytes) const {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address),
                 sizeof address);
    }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

/// A destination of the relay: records the sequence numbers of each route in arrival order,
/// the ends, and any datagram it should never get.
class Sink {
public:
    Sink() : thread_([this] { receive(); }) {}
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    ~Sink() {
        ::shutdown(socket_.fd(), SHUT_RDWR);
        thread_.join();
    }

    std::uint16_t port() const noexcept { return socket_.port(); }

    std::vector<std::int32_t> sequence(Route route) const {
        std::lock_guard lock(mutex_);
        return sequences_[route];
    }
    bool ended(Route route) const {
        std::lock_guard lock(mutex_);
        return ends_.count(route) > 0;
    }
    std::vector<std::string> unexpected() const {
        std::lock_guard lock(mutex_);
        return unexpected_;
    }

private:
    void receive() {
        std::array<std::uint8_t, 65536> buffer{};
        for (;;) {
            const ssize_t size = ::recv(socket_.fd(), buffer.data(), buffer.size(), 0);
            if (size <= 0)
                return;
            std::lock_guard lock(mutex_);
            const auto expected = [&](char kind) {
                return static_cast<std::size_t>(size) == kDatagramSize &&
                       std::equal(buffer.begin(), buffer.begin() + 12,
                                  datagram(kind, 0, 0).begin());
            };
            std::uint32_t words[2];
            std::memcpy(words, buffer.data() + 12, sizeof words);
            const auto first = static_cast<std::int32_t>(ntohl(words[0]));
            if (expected('0') || expected('1') || expected('2'))
                sequences_[buffer[6] - '0'].push_back(first);
            else if (expected('e'))
                ends_.insert(first);
            else
                unexpected_.emplace_back(reinterpret_cast<const char*>(buffer.data()),
                                         static_cast<std::size_t>(size));
        }
    }

    UdpSocket socket_;
    mutable std::mutex mutex_;
    std::array<std::vector<std::int32_t>, 3> sequences_;
    std::set<std::int32_t> ends_;
    std::vector<std::string> unexpected_;
    std::thread thread_;
};

/// Sends one route's traffic at a steady rate to the route's listen port of the moment.
class Traffic {
public:
    Traffic(Route route, const std::atomic<std::uint16_t>& port)
        : route_(route), port_(port), thread_([this] { send(); }) {}
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;
    ~Traffic() { stop(); }

    void stop() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    std::int32_t sent() const noexcept { return sent_; }
    void sendEnd() const { socket_.sendTo(port_, datagram('e', route_, 0)); }

private:
    void send() {
        // About a thousand datagrams a second: a live show's busy route, not a flood.
        auto next = Clock::now();
        while (running_) {
            const std::uint16_t port = port_;
            socket_.sendTo(port, datagram(static_cast<char>('0' + route_), sent_ + 1, port));
            ++sent_;
            next += 1ms;
            std::this_thread::sleep_until(next);
        }
    }

    const Route route_;
    const std::atomic<std::uint16_t>& port_;
    UdpSocket socket_;
    std::atomic<bool> running_{true};
    std::atomic<std::int32_t> sent_{0};
    std::thread thread_;
};

/// Runs `call` on the main run loop's thread and waits (bounded) for it to return.
void onMain(std::function<void()> call) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    RunLoop::main().post([call = std::move(call), done] {
        call();
        done->set_value();
    });
    ASSERT_EQ(finished.wait_for(30s), std::future_status::ready)
        << "the main loop did not run a call";
}

/// Checks that every sink's sequence of a route only rises, and that no number arrives at
/// two sinks of one destination.
void expectInOrderWithoutDuplicates(Route route, const std::vector<const Sink*>& sinks,
                                    const char* destination) {
    std::set<std::int32_t> seen;
    for (const Sink* sink : sinks) {
        const auto sequence = sink->sequence(route);
        for (std::size_t i = 1; i < sequence.size(); ++i)
            ASSERT_LT(sequence[i - 1], sequence[i]) << "route " << route << " at " << destination;
        for (const std::int32_t number : sequence)
            ASSERT_TRUE(seen.insert(number).second)
                << "route " << route << " twice at " << destination << ": " << number;
    }
}

TEST(RelaySoakTest, SettingsChangedWhileTrafficFlowsLeakNothingAndLoseNoSetting) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("tandrel-soak-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    const auto settingsPath = folder / "tandrel.conf";
    UserDefaults settings(settingsPath);

    // Two listen ports per endpoint and two destinations per sender, to move between.
    const auto ports = UdpPeer::unusedPorts(6);
    const std::array<std::array<std::uint16_t, 2>, 3> listenPorts{
        {{ports[0], ports[1]}, {ports[2], ports[3]}, {ports[4], ports[5]}}};
    Sink orvaneA, orvaneB, device1A, device1B, device2A, device2B;
    settings.setInteger(orvaneA.port(), TandrelController::kOrvaneSendPort);
    settings.setInteger(listenPorts[0][0], TandrelController::kOrvaneListenPort);
    settings.setValue("127.0.0.1", TandrelController::kDevice1Host);
    settings.setInteger(device1A.port(), TandrelController::kDevice1SendPort);
    settings.setInteger(listenPorts[1][0], TandrelController::kDevice1ListenPort);
    settings.setValue("127.0.0.1", TandrelController::kDevice2Host);
    settings.setInteger(device2A.port(), TandrelController::kDevice2SendPort);
    settings.setInteger(listenPorts[2][0], TandrelController::kDevice2ListenPort);

    std::array<std::atomic<std::uint16_t>, 3> currentListenPort{};
    for (std::size_t route = 0; route < 3; ++route)
        currentListenPort[route] = listenPorts[route][0];
    std::array<std::unique_ptr<Traffic>, 3> traffic;
    std::array<std::int32_t, 3> sent{};
    const UdpSocket poisoner;

    RunLoop::main(); // made before counting: it lives as long as the process
    const std::size_t descriptorsBefore = openDescriptors();
    const std::size_t threadsBefore = threads();

    std::shared_ptr<TandrelController> controller;
    std::size_t descriptorsStarted = 0;
    std::size_t threadsStarted = 0;
    int changes = 0;
    int notPersisted = 0;
    bool routesEnded = false;
    bool threadsSettled = false;
    bool descriptorsSettled = false;

    std::thread script([&] {
        const std::size_t threadsBeforeStart = threads();
        onMain([&] {
            controller = TandrelController::controllerWithUserDefaults(settings);
            controller->awakeFromNib();
        });
        // Receive threads start on their own; wait until all three run.
        eventually([&] { return threads() >= threadsBeforeStart + 3; });
        descriptorsStarted = openDescriptors();
        threadsStarted = threads();
        for (int route = 0; route < 3; ++route)
            traffic[route] =
                std::make_unique<Traffic>(static_cast<Route>(route), currentListenPort[route]);

        // Each step changes one setting, in a loop over all eight: listen ports move between
        // two ports, hosts between two names of this machine, send ports between two sinks.
        // Right after a listener moves, its old port gets a datagram that nothing may read.
        const std::array<const Sink*, 6> sendTargets{&orvaneA,  &orvaneB,  &device1A,
                                                     &device1B, &device2A, &device2B};
        const auto end = Clock::now() + soakDuration();
        for (int step = 0; Clock::now() < end; ++step) {
            const bool second = (step / 8) % 2 == 0;
            onMain([&] {
                const auto moveListener = [&](int route, std::string_view key,
                                              void (TandrelController::*setter)(std::int32_t)) {
                    const std::uint16_t from = currentListenPort[route];
                    const std::uint16_t to = listenPorts[route][second ? 1 : 0];
                    ((*controller).*setter)(to);
                    currentListenPort[route] = to;
                    poisoner.sendTo(from, datagram('p', route, from));
                    notPersisted += UserDefaults(settingsPath).integerForKey(key) != to;
                };
                const auto moveSender = [&](int endpoint, std::string_view key,
                                            void (TandrelController::*setter)(std::int32_t)) {
                    const std::uint16_t to = sendTargets[2 * endpoint + (second ? 1 : 0)]->port();
                    ((*controller).*setter)(to);
                    notPersisted += UserDefaults(settingsPath).integerForKey(key) != to;
                };
                const auto changeHost = [&](std::string_view key, void (TandrelController::*setter)(
                                                                      std::optional<std::string>)) {
                    const std::string host = second ? "localhost" : "127.0.0.1";
                    ((*controller).*setter)(host);
                    notPersisted += UserDefaults(settingsPath).stringForKey(key) != host;
                };
                switch (step % 8) {
                case 0:
                    moveListener(FromOrvane, TandrelController::kOrvaneListenPort,
                                 &TandrelController::setOrvaneListenPort);
                    break;
                case 1:
                    changeHost(TandrelController::kDevice1Host, &TandrelController::setDevice1Host);
                    break;
                case 2:
                    moveListener(FromDevice1, TandrelController::kDevice1ListenPort,
                                 &TandrelController::setDevice1ListenPort);
                    break;
                case 3:
                    moveSender(0, TandrelController::kOrvaneSendPort,
                               &TandrelController::setOrvaneSendPort);
                    break;
                case 4:
                    changeHost(TandrelController::kDevice2Host, &TandrelController::setDevice2Host);
                    break;
                case 5:
                    moveListener(FromDevice2, TandrelController::kDevice2ListenPort,
                                 &TandrelController::setDevice2ListenPort);
                    break;
                case 6:
                    moveSender(1, TandrelController::kDevice1SendPort,
                               &TandrelController::setDevice1SendPort);
                    break;
                default:
                    moveSender(2, TandrelController::kDevice2SendPort,
                               &TandrelController::setDevice2SendPort);
                    break;
                }
                ++changes;
            });
            std::this_thread::sleep_for(10ms);
        }

        // Traffic stops; each route's end must still come through the relay as it is now.
        for (auto& route : traffic)
            route->stop();
        const auto endReached = [&](Route route, std::initializer_list<const Sink*> sinks) {
            for (const Sink* sink : sinks)
                if (sink->ended(route))
                    return true;
            return false;
        };
        routesEnded = eventually([&] {
            for (auto& route : traffic)
                route->sendEnd();
            return eventually(
                [&] {
                    return endReached(FromOrvane, {&device1A, &device1B}) &&
                           endReached(FromOrvane, {&device2A, &device2B}) &&
                           endReached(FromDevice1, {&orvaneA, &orvaneB}) &&
                           endReached(FromDevice2, {&orvaneA, &orvaneB});
                },
                50ms);
        });
        for (int route = 0; route < 3; ++route) {
            sent[route] = traffic[route]->sent();
            traffic[route].reset();
        }
        // Stopped listeners' threads end on their own, soon after their stop.
        threadsSettled = eventually([&] { return threads() == threadsStarted; });
        descriptorsSettled = eventually([&] { return openDescriptors() == descriptorsStarted; });
        RunLoop::main().post([] { RunLoop::main().stop(); });
    });
    const bool ranToTheEnd =
        runUntilStopped(RunLoop::main(), RunLoop::Mode::Default, soakDuration() + 120s);
    script.join();
    ASSERT_TRUE(ranToTheEnd);
    ASSERT_TRUE(controller);
    EXPECT_TRUE(routesEnded) << "a route stopped relaying";

    EXPECT_TRUE(threadsSettled) << "threads left after the changes; " << threadsStarted
                                << " after start-up";
    EXPECT_TRUE(descriptorsSettled)
        << "descriptors left after the changes; " << descriptorsStarted << " after start-up";
    controller->teardown();
    controller.reset();
    EXPECT_TRUE(eventually([&] { return threads() == threadsBefore; }))
        << threads() << " threads, " << threadsBefore << " before start-up";
    EXPECT_TRUE(eventually([&] { return openDescriptors() == descriptorsBefore; }))
        << openDescriptors() << " descriptors, " << descriptorsBefore << " before start-up";

    EXPECT_EQ(notPersisted, 0);
    for (const Sink* sink : {&orvaneA, &orvaneB, &device1A, &device1B, &device2A, &device2B})
        EXPECT_EQ(sink->unexpected(), std::vector<std::string>{});
    expectInOrderWithoutDuplicates(FromOrvane, {&device1A, &device1B}, "device 1");
    expectInOrderWithoutDuplicates(FromOrvane, {&device2A, &device2B}, "device 2");
    expectInOrderWithoutDuplicates(FromDevice1, {&orvaneA, &orvaneB}, "Orvane");
    expectInOrderWithoutDuplicates(FromDevice2, {&orvaneA, &orvaneB}, "Orvane");

    const auto delivered = [](Route route, std::initializer_list<const Sink*> sinks) {
        std::size_t count = 0;
        for (const Sink* sink : sinks)
            count += sink->sequence(route).size();
        return count;
    };
    std::printf("soak: %.0f s, %d changes; sent %d/%d/%d; relayed to device 1 %zu, device 2 %zu, "
                "Orvane %zu + %zu; descriptors %zu -> %zu -> %zu, threads %zu -> %zu -> %zu\n",
                soakDuration().count(), changes, sent[0], sent[1], sent[2],
                delivered(FromOrvane, {&device1A, &device1B}),
                delivered(FromOrvane, {&device2A, &device2B}),
                delivered(FromDevice1, {&orvaneA, &orvaneB}),
                delivered(FromDevice2, {&orvaneA, &orvaneB}), descriptorsBefore, descriptorsStarted,
                openDescriptors(), threadsBefore, threadsStarted, threads());
    std::filesystem::remove_all(folder);
}

} // namespace
