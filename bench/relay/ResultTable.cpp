#include "ResultTable.h"

#include <algorithm>
#include <string>

namespace {

double highestLossFree(const RelayBench::Round& round, int direction) {
    return round.directions[direction].highestLossFree;
}
double p50(const RelayBench::Round& round, int direction) {
    return round.directions[direction].latency.p50;
}
double p99(const RelayBench::Round& round, int direction) {
    return round.directions[direction].latency.p99;
}
double maximum(const RelayBench::Round& round, int direction) {
    return round.directions[direction].latency.max;
}
double cpuPer100k(const RelayBench::Round& round, int direction) {
    // Per datagram relayed, not per datagram sent: a relay that drops part of the load must not
    // look cheaper for the work it skipped.
    const RunFigures& cpu = round.directions[direction].cpu;
    const double relayed = cpu.expected == 0
                               ? 0
                               : static_cast<double>(cpu.sent) * static_cast<double>(cpu.arrived) /
                                     static_cast<double>(cpu.expected);
    return relayed == 0 ? 0 : 1000.0 * cpu.relayCpuSeconds * 100000.0 / relayed;
}
double faults(const RelayBench::Round& round, int direction) {
    double sum = 0;
    for (const RunFigures* run :
         {&round.directions[direction].latency, &round.directions[direction].cpu}) {
        sum += static_cast<double>(run->lost + run->duplicated + run->reordered + run->corrupted);
    }
    return sum;
}
double peakMiB(const RelayBench::Round& round, int direction) {
    return static_cast<double>(round.directions[direction].peakKiB) / 1024.0;
}
double afterMiB(const RelayBench::Round& round, int direction) {
    return static_cast<double>(round.directions[direction].afterKiB) / 1024.0;
}
double idle(const RelayBench::Round& round, int) {
    return round.idleCpuPercent;
}

std::string formatted(const char* format, double value) {
    if (value < 0) {
        return "n/a";
    }
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string ratio(double ours, double theirs) {
    if (ours < 0 || theirs <= 0) {
        return "n/a";
    }
    return formatted("%.2fx", ours / theirs);
}

} // namespace

ResultTable::ResultTable(const RelayBench::Options& options,
                         const std::vector<RelayBench::Relay>& relays,
                         const std::vector<std::vector<RelayBench::Round>>& results)
    : options_(options), relays_(relays), results_(results) {}

double ResultTable::median(std::size_t relay, int direction, Figure figure) const {
    std::vector<double> values;
    for (const RelayBench::Round& round : results_[relay]) {
        if (round.measured) {
            values.push_back(figure(round, direction));
        }
    }
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void ResultTable::row(std::FILE* out, const char* label, int direction, Figure figure,
                      const char* format) const {
    std::fprintf(out, "| %s |", label);
    for (std::size_t relay = 0; relay < relays_.size(); ++relay) {
        std::string value = formatted(format, median(relay, direction, figure));
        if (figure == highestLossFree && value != "n/a") {
            for (const RelayBench::Round& round : results_[relay]) {
                if (round.measured && round.directions[direction].loadBound) {
                    value = ">= " + value;
                    break;
                }
            }
        }
        std::fprintf(out, " %s |", value.c_str());
    }
    const double ours = median(0, direction, figure);
    for (std::size_t other = 1; other < relays_.size(); ++other) {
        std::fprintf(out, " %s |", ratio(ours, median(other, direction, figure)).c_str());
    }
    std::fprintf(out, "\n");
}

void ResultTable::goal(std::FILE* out, const char* text, int direction, Figure figure,
                       std::size_t other, double limit, bool atLeast) const {
    const double ours = median(0, direction, figure);
    const double theirs = median(other, direction, figure);
    std::string verdict = "not measured";
    std::string measured = "n/a";
    if (ours >= 0 && theirs > 0) {
        const double value = ours / theirs;
        measured = formatted("%.2fx", value);
        verdict = (atLeast ? value >= limit : value <= limit) ? "met" : "missed";
    }
    std::fprintf(out, "| %s | %s | %s | %s |\n", text, direction == 0 ? "O->D" : "D->O",
                 measured.c_str(), verdict.c_str());
}

void ResultTable::print(std::FILE* out) const {
    const std::string ours = relays_[0].name;
    for (int direction = 0; direction < 2; ++direction) {
        std::fprintf(out, "\n%s\n\n| median of %d round(s) |",
                     RelayBench::directionNames[direction], options_.rounds);
        for (const auto& relay : relays_) {
            std::fprintf(out, " %s |", relay.name.c_str());
        }
        for (std::size_t other = 1; other < relays_.size(); ++other) {
            std::fprintf(out, " %s / %s |", ours.c_str(), relays_[other].name.c_str());
        }
        std::fprintf(out, "\n|---|");
        for (std::size_t column = 1; column < 2 * relays_.size(); ++column) {
            std::fprintf(out, "---:|");
        }
        std::fprintf(out, "\n");
        const std::string latency = formatted("%.0f/s", options_.latencyRate);
        const std::string cpu = formatted("%.0f/s", options_.cpuRate);
        row(out, "highest loss-free rate (datagrams/s)", direction, highestLossFree, "%.0f");
        row(out, ("p50 latency at " + latency + " (us)").c_str(), direction, p50, "%.1f");
        row(out, ("p99 latency at " + latency + " (us)").c_str(), direction, p99, "%.1f");
        row(out, ("max latency at " + latency + " (us)").c_str(), direction, maximum, "%.0f");
        row(out, ("CPU per 100,000 datagrams relayed at " + cpu + " (ms)").c_str(), direction,
            cpuPer100k, "%.1f");
        row(out, ("lost+duplicated+reordered+corrupted at " + latency + " and " + cpu).c_str(),
            direction, faults, "%.0f");
        row(out, "peak resident memory after the stepped run (MiB, VmHWM)", direction, peakMiB,
            "%.1f");
        row(out, "resident memory after the stepped run (MiB, VmRSS)", direction, afterMiB, "%.1f");
    }
    std::fprintf(out, "\n| idle, %.1f s without traffic |", options_.idleSeconds);
    for (const auto& relay : relays_) {
        std::fprintf(out, " %s |", relay.name.c_str());
    }
    std::fprintf(out, "\n|---|");
    for (std::size_t column = 0; column < relays_.size(); ++column) {
        std::fprintf(out, "---:|");
    }
    std::fprintf(out, "\n| CPU (%% of one core) |");
    for (std::size_t relay = 0; relay < relays_.size(); ++relay) {
        std::fprintf(out, " %s |", formatted("%.2f", median(relay, 0, idle)).c_str());
    }
    std::fprintf(out, "\n");

    // The goals compare the relay under test with the liblo relay (last) and the hand-off
    // forwarder (third), as the reference relays are listed.
    if (relays_.size() == 4) {
        std::fprintf(out, "\n| goal | direction | measured | verdict |\n|---|---|---:|---|\n");
        for (int direction = 0; direction < 2; ++direction) {
            goal(out, "highest loss-free rate >= 1.5x liblo", direction, highestLossFree, 3, 1.5,
                 true);
            goal(out, "highest loss-free rate >= 0.9x hand-off", direction, highestLossFree, 2, 0.9,
                 true);
            goal(out, "p50 at the low rate <= 1.3x liblo", direction, p50, 3, 1.3, false);
            goal(out, "p99 at the low rate <= 1.0x liblo", direction, p99, 3, 1.0, false);
            goal(out, "CPU per 100,000 at the middle rate <= 1.0x liblo", direction, cpuPer100k, 3,
                 1.0, false);
        }
        const double idleOurs = median(0, 0, idle);
        std::fprintf(out, "| idle CPU < 1%% of one core | - | %s | %s |\n",
                     formatted("%.2f%%", idleOurs).c_str(),
                     idleOurs < 0 ? "not measured" : (idleOurs < 1.0 ? "met" : "missed"));
    }

    std::fprintf(out,
                 "\nEach round (loss-free rate /s; p50, p99 us; CPU ms per 100,000; idle %%):\n\n");
    for (std::size_t relay = 0; relay < relays_.size(); ++relay) {
        for (std::size_t index = 0; index < results_[relay].size(); ++index) {
            const RelayBench::Round& round = results_[relay][index];
            std::fprintf(out, "- round %zu, %s:", index + 1, relays_[relay].name.c_str());
            if (!round.measured) {
                std::fprintf(out, " not measured: %s\n", round.problem.c_str());
                continue;
            }
            for (int direction = 0; direction < 2; ++direction) {
                std::fprintf(out, " %s %.0f; %.1f, %.1f; %.1f;", direction == 0 ? "O->D" : "D->O",
                             highestLossFree(round, direction), p50(round, direction),
                             p99(round, direction), cpuPer100k(round, direction));
            }
            std::fprintf(out, " idle %.2f; %s\n", round.idleCpuPercent, round.ending.c_str());
            if (!round.problem.empty()) {
                std::fprintf(out, "  problem: %s\n", round.problem.c_str());
            }
        }
    }
}
