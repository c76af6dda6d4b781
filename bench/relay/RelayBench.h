#pragma once

#include "RelayProcess.h"
#include "RunFigures.h"
#include "Sink.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Runs every relay under test through the same bounded loads, interleaved round by round: each
// round starts each relay afresh on fresh ports and measures its idle cost, then, in both
// directions, latency at a low rate, CPU time per 100,000 datagrams at a middle rate and the
// highest rate it relays without loss.
class RelayBench {
public:
    struct Options {
        int rounds = 3;
        double idleSeconds = 10;
        double latencyRate = 5000;
        double latencySeconds = 2;
        double cpuRate = 20000;
        std::uint64_t cpuCount = 100000;
        // Finer where the relays' limits lie on this kind of machine, so that a ratio of two
        // limits is not mostly the step size.
        std::vector<double> stepRates{5000,   10000,  15000,  20000,  25000,  30000,
                                      35000,  40000,  45000,  50000,  55000,  60000,
                                      70000,  80000,  90000,  100000, 110000, 120000,
                                      130000, 140000, 150000, 165000, 180000, 200000};
        double stepSeconds = 0.5;
        // A step counts as relayed only if the relay kept up: its p99 latency stayed below this.
        // A relay that merely drains a growing backlog after the load stops is not relaying at
        // that rate.
        double keepUpMicroseconds = 10000;
    };

    struct Relay {
        std::string name;
        std::string executable;
        RelayProcess::Configuration configuration;
    };

    enum Direction { fromOrvane = 0, fromDevices = 1 };
    static constexpr std::array<const char*, 2> directionNames{
        "Orvane -> both devices (one sender, two sinks)",
        "both devices -> Orvane (two senders, one sink)"};

    struct Step {
        double rate = 0;
        RunFigures figures;
        bool keptUp = false;
    };
    struct DirectionResult {
        RunFigures latency;
        RunFigures cpu;
        std::vector<Step> steps;
        double highestLossFree = 0;
        // The load tool could not send at the next step's rate, so the relay's limit lies higher.
        bool loadBound = false;
        std::uint64_t peakKiB = 0;
        std::uint64_t afterKiB = 0;
    };
    struct Round {
        bool measured = false;
        // Why the relay was not measured, or what went wrong while it was.
        std::string problem;
        double idleCpuPercent = 0;
        std::array<DirectionResult, 2> directions;
        std::string ending;
    };

    RelayBench(Options options, std::vector<Relay> relays);

    // Every round's results, [relay][round]. Progress goes to standard error.
    std::vector<std::vector<Round>> run();

private:
    struct Setup;

    Round measure(const Relay& relay);
    RunFigures load(Setup& setup, Direction direction, std::int32_t run, double rate,
                    std::uint64_t count);
    bool becomesReady(Setup& setup);
    DirectionResult measureDirection(Setup& setup, Direction direction);

    Options options_;
    std::vector<Relay> relays_;
    std::int32_t runNumber_ = 0;
};
