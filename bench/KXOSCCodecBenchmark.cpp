// Decode and re-encode one datagram, the relay's work per packet, for a small mix of messages
// and a bundle; the same work with liblo and oscpack as baselines. Prints Google Benchmark's
// table, then one line per datagram with the ratios to both peers.
#include <benchmark/benchmark.h>
#include <lo/lo.h>
#include <osc/OscOutboundPacketStream.h>
#include <osc/OscReceivedElements.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/osc/KXOSCDecoder.h"

namespace {

struct Datagram {
    const char* name;
    std::vector<std::uint8_t> bytes;
};

std::shared_ptr<KXOSCMessage> message(const char* address, KXOSCMessage::ObjectList arguments) {
    auto message = KXOSCMessage::messageWithKXOSCAddress(KXOSCAddress::addressWithString(address));
    message->attachArguments(std::move(arguments));
    return message;
}

std::vector<std::uint8_t> bytesOf(const KXOSCPacket& packet) {
    const Data data = packet.packetizedData();
    return {data.bytes(), data.bytes() + data.size()};
}

/// The mix: a cue without arguments, a fader level, a message of three types, and a bundle of
/// those three.
std::vector<Datagram> mix() {
    const auto cue = message("/cue/1/go", {});
    const auto fader = message("/fader/3", {KXOSCArgument::argumentWithFloat(0.5f)});
    const auto three = message("/osc/msg", {KXOSCArgument::argumentWithString("hello"),
                                            KXOSCArgument::argumentWithInt(42),
                                            KXOSCArgument::argumentWithFloat(1.5f)});
    auto bundle = KXOSCBundle::bundleWithTimestamp(Date(0));
    bundle->attachObjects({cue, fader, three});
    return {{"cue", bytesOf(*cue)},
            {"fader", bytesOf(*fader)},
            {"three_args", bytesOf(*three)},
            {"bundle", bytesOf(*bundle)}};
}

constexpr std::size_t kOutputCapacity = 1024;

void tandrel(benchmark::State& state, const Datagram& datagram) {
    const Data input = Data::copyOf(datagram.bytes);
    for (auto _ : state) {
        const auto packet = KXOSCDecoder::decodeData(input);
        const Data output = packet->packetizedData();
        benchmark::DoNotOptimize(output.bytes());
    }
}

// liblo: lo_message_deserialise and lo_message_serialise; a bundle is walked by hand (liblo
// reads bundles only inside its server) and its messages collected into an lo_bundle.

std::uint32_t wordAt(const char* at) {
    std::uint32_t word;
    std::memcpy(&word, at, 4);
    return ntohl(word);
}

void liblo(benchmark::State& state, const Datagram& datagram) {
    std::vector<char> input(datagram.bytes.begin(), datagram.bytes.end());
    char output[kOutputCapacity];
    const bool isBundle = input[0] == '#';
    for (auto _ : state) {
        std::size_t size = 0;
        if (!isBundle) {
            int result = 0;
            lo_message decoded = lo_message_deserialise(input.data(), input.size(), &result);
            const char* path = lo_get_path(input.data(), static_cast<ssize_t>(input.size()));
            if (decoded == nullptr || path == nullptr)
                throw std::runtime_error("liblo cannot read the datagram");
            lo_message_serialise(decoded, path, output, &size);
            lo_message_free(decoded);
        } else {
            lo_timetag tag{wordAt(&input[8]), wordAt(&input[12])};
            lo_bundle bundle = lo_bundle_new(tag);
            for (std::size_t at = 16; at + 4 <= input.size();) {
                const std::size_t length = wordAt(&input[at]);
                char* element = &input[at + 4];
                int result = 0;
                lo_message decoded = lo_message_deserialise(element, length, &result);
                const char* path = lo_get_path(element, static_cast<ssize_t>(length));
                if (decoded == nullptr || path == nullptr)
                    throw std::runtime_error("liblo cannot read an element");
                lo_bundle_add_message(bundle, path, decoded);
                at += 4 + length;
            }
            lo_bundle_serialise(bundle, output, &size);
            lo_bundle_free_recursive(bundle);
        }
        benchmark::DoNotOptimize(output);
        benchmark::DoNotOptimize(size);
    }
}

// oscpack: ReceivedPacket read in place, written with an OutboundPacketStream. Its reader
// builds no objects.

void writeMessage(const osc::ReceivedMessage& message, osc::OutboundPacketStream& out) {
    out << osc::BeginMessage(message.AddressPattern());
    for (auto argument = message.ArgumentsBegin(); argument != message.ArgumentsEnd(); ++argument) {
        switch (argument->TypeTag()) {
        case osc::STRING_TYPE_TAG:
            out << argument->AsString();
            break;
        case osc::INT32_TYPE_TAG:
            out << argument->AsInt32();
            break;
        case osc::FLOAT_TYPE_TAG:
            out << argument->AsFloat();
            break;
        case osc::BLOB_TYPE_TAG: {
            const void* blob = nullptr;
            osc::osc_bundle_element_size_t size = 0;
            argument->AsBlob(blob, size);
            out << osc::Blob(blob, size);
            break;
        }
        default:
            throw std::runtime_error("type outside the mix");
        }
    }
    out << osc::EndMessage;
}

void writeBundle(const osc::ReceivedBundle& bundle, osc::OutboundPacketStream& out) {
    out << osc::BeginBundle(bundle.TimeTag());
    for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
        if (element->IsBundle())
            writeBundle(osc::ReceivedBundle(*element), out);
        else
            writeMessage(osc::ReceivedMessage(*element), out);
    }
    out << osc::EndBundle;
}

void oscpack(benchmark::State& state, const Datagram& datagram) {
    const std::vector<char> input(datagram.bytes.begin(), datagram.bytes.end());
    char output[kOutputCapacity];
    for (auto _ : state) {
        const osc::ReceivedPacket packet(input.data(),
                                         static_cast<osc::osc_bundle_element_size_t>(input.size()));
        osc::OutboundPacketStream out(output, sizeof output);
        if (packet.IsBundle())
            writeBundle(osc::ReceivedBundle(packet), out);
        else
            writeMessage(osc::ReceivedMessage(packet), out);
        benchmark::DoNotOptimize(out.Data());
    }
}

/// Google Benchmark's console table, keeping the fastest repetition of each case for the ratio
/// lines: on a shared machine the fastest run is the one least disturbed by other work.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const std::string name = run.run_name.function_name;
            const double nanoseconds = run.GetAdjustedRealTime();
            const auto known = nanoseconds_.find(name);
            if (known == nanoseconds_.end() || nanoseconds < known->second)
                nanoseconds_[name] = nanoseconds;
        }
    }

    void printRatios(const std::vector<Datagram>& datagrams) const {
        std::printf("\n| datagram | bytes | tandrel ns | liblo ns | oscpack ns | tandrel/liblo | "
                    "tandrel/oscpack |\n|---|---|---|---|---|---|---|\n");
        for (const Datagram& datagram : datagrams) {
            const std::string prefix = std::string("codec/") + datagram.name + "/";
            const auto ours = nanoseconds_.find(prefix + "tandrel");
            const auto lo = nanoseconds_.find(prefix + "liblo");
            const auto pack = nanoseconds_.find(prefix + "oscpack");
            if (ours == nanoseconds_.end() || lo == nanoseconds_.end() ||
                pack == nanoseconds_.end())
                continue;
            std::printf("| %s | %zu | %.0f | %.0f | %.0f | %.2f | %.2f |\n", datagram.name,
                        datagram.bytes.size(), ours->second, lo->second, pack->second,
                        ours->second / lo->second, ours->second / pack->second);
        }
    }

private:
    std::map<std::string, double> nanoseconds_;
};

} // namespace

int main(int argc, char** argv) {
    static const std::vector<Datagram> datagrams = mix();
    for (const Datagram& datagram : datagrams) {
        const std::string prefix = std::string("codec/") + datagram.name + "/";
        benchmark::RegisterBenchmark((prefix + "tandrel").c_str(), tandrel, datagram);
        benchmark::RegisterBenchmark((prefix + "liblo").c_str(), liblo, datagram);
        benchmark::RegisterBenchmark((prefix + "oscpack").c_str(), oscpack, datagram);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios(datagrams);
    benchmark::Shutdown();
    return 0;
}
