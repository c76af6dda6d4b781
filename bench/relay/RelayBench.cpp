#include "RelayBench.h"

#include "LoadSender.h"
#include "UdpSocket.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Streams of run n are 8n + target; run 0 is the readiness probe.
constexpr std::int32_t streamsPerRun = 8;
constexpr std::int32_t probeRun = 0;
// How long the relay may stay silent before a run counts as drained, and the longest drain.
constexpr auto quietTime = std::chrono::milliseconds(100);
constexpr auto longestDrain = std::chrono::seconds(2);
constexpr auto readyTimeout = std::chrono::seconds(5);
constexpr auto idleSettleTime = std::chrono::seconds(1);
// The load tool reached a step's rate when it sent within this fraction of the planned time.
constexpr double rateTolerance = 0.97;

// Three ports nobody holds now: bound to port 0 so the system picks them, then released just
// before the relay binds them.
std::array<std::int32_t, 3> freePorts() {
    std::array<int, 3> sockets{};
    std::array<std::int32_t, 3> ports{};
    for (std::size_t index = 0; index < sockets.size(); ++index) {
        sockets[index] = UdpSocket::bound(0);
        ports[index] = UdpSocket::localPort(sockets[index]);
    }
    for (int socket : sockets) {
        close(socket);
    }
    return ports;
}

} // namespace

struct RelayBench::Setup {
    // Destinations: Orvane, device 1, device 2, as the relay's send ports.
    std::array<std::unique_ptr<Sink>, 3> sinks;
    RelaySettings settings;
    std::unique_ptr<RelayProcess> process;
};

RelayBench::RelayBench(Options options, std::vector<Relay> relays)
    : options_(std::move(options)), relays_(std::move(relays)) {}

std::vector<std::vector<RelayBench::Round>> RelayBench::run() {
    std::vector<std::vector<Round>> results(relays_.size());
    for (int round = 0; round < options_.rounds; ++round) {
        // Each round starts with another relay, so a slow drift of the machine does not always
        // fall on the same one.
        for (std::size_t turn = 0; turn < relays_.size(); ++turn) {
            const std::size_t index = (turn + static_cast<std::size_t>(round)) % relays_.size();
            std::fprintf(stderr, "round %d of %d: %s\n", round + 1, options_.rounds,
                         relays_[index].name.c_str());
            results[index].push_back(measure(relays_[index]));
        }
    }
    return results;
}

RelayBench::Round RelayBench::measure(const Relay& relay) {
    Round round;
    if (access(relay.executable.c_str(), X_OK) != 0) {
        round.problem = relay.executable + " is not built";
        return round;
    }
    Setup setup;
    for (auto& sink : setup.sinks) {
        sink = std::make_unique<Sink>();
    }
    const auto listen = freePorts();
    setup.settings.orvaneSendPort = setup.sinks[0]->port();
    setup.settings.orvaneListenPort = listen[0];
    setup.settings.device1Host = "127.0.0.1";
    setup.settings.device1SendPort = setup.sinks[1]->port();
    setup.settings.device1ListenPort = listen[1];
    setup.settings.device2Host = "127.0.0.1";
    setup.settings.device2SendPort = setup.sinks[2]->port();
    setup.settings.device2ListenPort = listen[2];
    setup.process =
        std::make_unique<RelayProcess>(relay.executable, relay.configuration, setup.settings);
    // The process id lets a profiler (perf stat -p, strace -c -p) attach for the run.
    std::fprintf(stderr, "  %s runs as process %d\n", relay.name.c_str(),
                 static_cast<int>(setup.process->pid()));

    if (!becomesReady(setup)) {
        round.ending = setup.process->stop();
        round.problem = "relayed nothing within 5 s (" + round.ending + "); its output:\n" +
                        setup.process->logTail();
        return round;
    }

    // Idle: the relay's timers run, nothing arrives. Measured once the work that follows
    // start-up (the first paint of a window, say) is over, as a relay waits between cues.
    std::this_thread::sleep_for(idleSettleTime);
    const double idleStart = setup.process->cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(options_.idleSeconds));
    round.idleCpuPercent = 100.0 * (setup.process->cpuSeconds() - idleStart) / options_.idleSeconds;

    for (Direction direction : {fromOrvane, fromDevices}) {
        const DirectionResult& result = round.directions[direction] =
            measureDirection(setup, direction);
        std::uint64_t corrupted = result.latency.corrupted + result.cpu.corrupted;
        for (const Step& step : result.steps) {
            corrupted += step.figures.corrupted;
        }
        if (corrupted != 0 && round.problem.empty()) {
            round.problem = std::to_string(corrupted) + " corrupted datagrams";
        }
    }
    round.ending = setup.process->stop();
    const bool stoppedCleanly = round.ending == "exit 0" || round.ending == "signal 15";
    if (!stoppedCleanly) {
        round.problem += (round.problem.empty() ? "" : "; ") + std::string("ended by ") +
                         round.ending + "; its output:\n" + setup.process->logTail();
    }
    round.measured = true;
    return round;
}

bool RelayBench::becomesReady(Setup& setup) {
    const auto giveUp = Clock::now() + readyTimeout;
    for (Direction direction : {fromOrvane, fromDevices}) {
        for (;;) {
            // One datagram per listen port of the direction.
            const RunFigures probe =
                load(setup, direction, probeRun, 1000, direction == fromOrvane ? 1 : 2);
            if (probe.lost == 0) {
                break;
            }
            if (Clock::now() > giveUp) {
                return false;
            }
        }
    }
    return true;
}

RelayBench::DirectionResult RelayBench::measureDirection(Setup& setup, Direction direction) {
    DirectionResult result;
    const auto latencyCount =
        static_cast<std::uint64_t>(options_.latencyRate * options_.latencySeconds);
    result.latency = load(setup, direction, ++runNumber_, options_.latencyRate, latencyCount);
    result.cpu = load(setup, direction, ++runNumber_, options_.cpuRate, options_.cpuCount);
    for (const RunFigures* run : {&result.latency, &result.cpu}) {
        std::fprintf(stderr,
                     "  %s %llu datagrams: lost %llu (at the relay's sockets %llu, at the sinks "
                     "%llu), duplicated %llu, reordered %llu, corrupted %llu; p50 %.1f us\n",
                     direction == fromOrvane ? "O->D" : "D->O",
                     static_cast<unsigned long long>(run->sent),
                     static_cast<unsigned long long>(run->lost),
                     static_cast<unsigned long long>(run->droppedAtRelay),
                     static_cast<unsigned long long>(run->droppedBySinks),
                     static_cast<unsigned long long>(run->duplicated),
                     static_cast<unsigned long long>(run->reordered),
                     static_cast<unsigned long long>(run->corrupted), run->p50);
    }

    int failuresInARow = 0;
    for (double rate : options_.stepRates) {
        // Other work on the machine can only make a step fail, never pass, so a failed step gets
        // a second try before it counts; likewise a step the load tool itself could not send at
        // full rate.
        Step step;
        step.rate = rate;
        bool sentAtRate = false;
        for (int attempt = 0; attempt < 2 && !step.keptUp; ++attempt) {
            step.figures = load(setup, direction, ++runNumber_, rate,
                                static_cast<std::uint64_t>(rate * options_.stepSeconds));
            const double planned = (static_cast<double>(step.figures.sent) - 1) / rate;
            sentAtRate = step.figures.sendSeconds * rateTolerance <= planned;
            step.keptUp = sentAtRate && step.figures.clean() &&
                          step.figures.p99 <= options_.keepUpMicroseconds;
            std::fprintf(
                stderr,
                "  %s %.0f/s: sent at %.0f/s, lost %llu (at the relay's sockets %llu, at the "
                "sinks %llu), p99 %.0f us: %s\n",
                direction == fromOrvane ? "O->D" : "D->O", rate,
                (static_cast<double>(step.figures.sent) - 1) / step.figures.sendSeconds,
                static_cast<unsigned long long>(step.figures.lost),
                static_cast<unsigned long long>(step.figures.droppedAtRelay),
                static_cast<unsigned long long>(step.figures.droppedBySinks), step.figures.p99,
                step.keptUp ? "kept up" : (sentAtRate ? "fell behind" : "load tool too slow"));
        }
        result.steps.push_back(step);
        if (!sentAtRate) {
            result.loadBound = true;
            break;
        }
        if (step.keptUp) {
            result.highestLossFree = rate;
            failuresInARow = 0;
        } else if (++failuresInARow == 2) {
            break;
        }
    }
    result.peakKiB = setup.process->peakResidentKiB();
    result.afterKiB = setup.process->residentKiB();
    return result;
}

RunFigures RelayBench::load(Setup& setup, Direction direction, std::int32_t run, double rate,
                            std::uint64_t count) {
    const std::int32_t firstStream = run * streamsPerRun;
    const auto ports = setup.settings.listenPorts();

    std::vector<sockaddr_in> targets;
    std::vector<std::pair<Sink*, RunFigures::Expectation>> sinks;
    std::vector<std::int32_t> listenPorts;
    if (direction == fromOrvane) {
        targets.push_back(UdpSocket::loopback(ports[0]));
        listenPorts.push_back(ports[0]);
        sinks.push_back({setup.sinks[1].get(), {{firstStream, count}}});
        sinks.push_back({setup.sinks[2].get(), {{firstStream, count}}});
    } else {
        targets.push_back(UdpSocket::loopback(ports[1]));
        targets.push_back(UdpSocket::loopback(ports[2]));
        listenPorts = {ports[1], ports[2]};
        sinks.push_back(
            {setup.sinks[0].get(), {{firstStream, (count + 1) / 2}, {firstStream + 1, count / 2}}});
    }

    std::uint64_t dropsBefore = 0;
    for (std::int32_t port : listenPorts) {
        dropsBefore += RelayProcess::receiveDrops(port);
    }
    const double cpuBefore = setup.process->cpuSeconds();
    for (auto& [sink, expectation] : sinks) {
        std::uint64_t expected = 0;
        for (const auto& stream : expectation) {
            expected += stream.second;
        }
        sink->start(expected, firstStream);
    }

    const LoadSender::Report report = LoadSender::send(targets, firstStream, rate, count);

    // Drained: every sink has its datagrams, or the relay has been silent for a while.
    const auto giveUp = Clock::now() + longestDrain;
    std::uint64_t lastSeen = 0;
    auto lastChange = Clock::now();
    for (;;) {
        std::uint64_t seen = 0;
        bool complete = true;
        for (auto& [sink, expectation] : sinks) {
            const std::uint64_t received = sink->received();
            seen += received;
            std::uint64_t expected = 0;
            for (const auto& stream : expectation) {
                expected += stream.second;
            }
            complete = complete && received >= expected;
        }
        const auto now = Clock::now();
        if (seen != lastSeen) {
            lastSeen = seen;
            lastChange = now;
        }
        if (complete || now - lastChange > quietTime || now > giveUp) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    RunFigures figures;
    figures.relayCpuSeconds = setup.process->cpuSeconds() - cpuBefore;
    for (auto& [sink, expectation] : sinks) {
        figures.add(sink->stop(), expectation);
    }
    figures.finish();
    for (std::int32_t port : listenPorts) {
        figures.droppedAtRelay += RelayProcess::receiveDrops(port);
    }
    figures.droppedAtRelay -= dropsBefore;
    figures.sent = report.sent;
    figures.sendSeconds = report.seconds;
    return figures;
}
