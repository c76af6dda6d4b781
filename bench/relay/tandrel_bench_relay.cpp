// The relay benchmark: measures the shipped relay against three reference relays under the same
// bounded loads on loopback and prints a Markdown table of medians and ratios. See
// `tandrel_bench_relay --help`.

#include "RelayBench.h"
#include "ResultTable.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--tandrel PATH] [--rounds N] [--idle SECONDS] [--smoke] [--steps "
                 "LIST] [--only NAME]...\n"
                 "  --tandrel PATH  the relay under test (default: the build's tandrel)\n"
                 "  --rounds N      rounds, every relay once per round (default 3)\n"
                 "  --idle SECONDS  idle measurement per relay and round (default 10)\n"
                 "  --smoke         a pass of a few seconds that only checks the harness works\n"
                 "  --steps LIST    the stepped rates, comma-separated, or 'none' (default: 5000\n"
                 "                  to 200000); give it after --smoke to override the smoke's\n"
                 "  --only NAME     measure only this relay (tandrel, raw, hand-off, liblo); the\n"
                 "                  first one named is compared with the others\n",
                 program);
}

std::string cpuModel() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown processor";
}

} // namespace

int main(int argc, char** argv) {
    const std::filesystem::path here = std::filesystem::canonical("/proc/self/exe").parent_path();
    std::string tandrel = (here / "../../tandrel").lexically_normal().string();
    RelayBench::Options options;
    std::vector<std::string> only;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        const bool hasValue = index + 1 < argc;
        if (argument == "--tandrel" && hasValue) {
            tandrel = argv[++index];
        } else if (argument == "--rounds" && hasValue) {
            options.rounds = std::max(1, std::atoi(argv[++index]));
        } else if (argument == "--idle" && hasValue) {
            options.idleSeconds = std::max(0.1, std::atof(argv[++index]));
        } else if (argument == "--steps" && hasValue) {
            options.stepRates.clear();
            for (const char* rate = argv[++index];
                 *rate != '\0' && std::strcmp(rate, "none") != 0;) {
                char* end = nullptr;
                options.stepRates.push_back(std::strtod(rate, &end));
                if (end == rate || options.stepRates.back() <= 0) {
                    usage(argv[0]);
                    return 2;
                }
                rate = *end == ',' ? end + 1 : end;
            }
        } else if (argument == "--only" && hasValue) {
            only.emplace_back(argv[++index]);
        } else if (argument == "--smoke") {
            options.rounds = 1;
            options.idleSeconds = 0.5;
            options.latencySeconds = 0.4;
            options.cpuCount = 5000;
            options.stepRates = {10000, 40000};
            options.stepSeconds = 0.2;
        } else {
            usage(argv[0]);
            return 2;
        }
    }

    const std::vector<RelayBench::Relay> all{
        {"tandrel", tandrel, RelayProcess::Configuration::settingsFile},
        {"raw", (here / "tandrel_bench_relay_raw").string(),
         RelayProcess::Configuration::arguments},
        {"hand-off", (here / "tandrel_bench_relay_handoff").string(),
         RelayProcess::Configuration::arguments},
        {"liblo", (here / "tandrel_bench_relay_liblo").string(),
         RelayProcess::Configuration::arguments},
    };
    std::vector<RelayBench::Relay> relays;
    for (const std::string& name : only) {
        for (const RelayBench::Relay& relay : all) {
            if (relay.name == name) {
                relays.push_back(relay);
            }
        }
    }
    if (relays.size() != only.size()) {
        usage(argv[0]);
        return 2;
    }
    if (relays.empty()) {
        relays = all;
    }

    utsname system{};
    uname(&system);
    const std::time_t now = std::time(nullptr);
    char day[32];
    std::strftime(day, sizeof day, "%Y-%m-%d %H:%M %Z", std::localtime(&now));
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("Relay benchmark, %s, on %s, %ld cores, Linux %s (load average %.2f at start)\n",
                day, cpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN), system.release, load[0]);
    const bool tandrelBuilt = access(tandrel.c_str(), X_OK) == 0;
    const bool tandrelWanted = relays.front().name == "tandrel";
    if (tandrelWanted && !tandrelBuilt) {
        std::printf("\ntandrel: NOT MEASURED: %s does not exist. The relay's entry point "
                    "(classes/main.cpp) is not on this branch yet; its columns and ratios show "
                    "n/a, and no figure stands in for it.\n",
                    tandrel.c_str());
    }
    std::fflush(stdout);

    RelayBench bench(options, relays);
    const auto results = bench.run();
    ResultTable(options, relays, results).print(stdout);

    // Loss and latency are figures, not failures; a relay that would not start, relay or stop
    // cleanly, or that corrupted a datagram, is.
    bool failed = false;
    for (std::size_t relay = 0; relay < relays.size(); ++relay) {
        if (relays[relay].name == "tandrel" && !tandrelBuilt) {
            continue;
        }
        for (const RelayBench::Round& round : results[relay]) {
            failed = failed || !round.problem.empty();
        }
    }
    if (failed) {
        std::printf(
            "\nFAILED: a relay did not start, relay or stop cleanly (see 'problem' above)\n");
    }
    return failed ? 1 : 0;
}
