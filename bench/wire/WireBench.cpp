// Wire protocol benchmarks, each beside a baseline measured in the same run:
// - reassembly of a 1 MiB and an 8 MiB control payload delivered in 4096-byte chunks, and the
//   8 MiB / 1 MiB time ratio (linear work gives about 8; the target is at most 10), beside a naive
//   reassembler that copies its whole buffer on every chunk;
// - Packet encode and decode of 4 KiB payloads in GB/s, beside a plain memcpy of the same bytes.
#include "comm/PacketReassembler.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

using namespace vl;

namespace {

constexpr std::size_t chunkSize = 4096;

Bytes controlStream(std::size_t payloadSize) {
    Bytes payload(payloadSize);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 131);
    return Packet(PacketType::pktInteractiveTap, InteractionType::clipboard, std::move(payload))
        .encode();
}

void deliver(const Bytes& stream, const std::function<void(ByteView)>& append) {
    for (std::size_t at = 0; at < stream.size(); at += chunkSize)
        append(ByteView(stream).subspan(at, std::min(chunkSize, stream.size() - at)));
}

void BM_Reassemble(benchmark::State& state) {
    Bytes stream = controlStream(static_cast<std::size_t>(state.range(0)));
    benchmark::IterationCount packets = 0;
    for (auto _ : state) {
        PacketReassembler reassembler("bench", [](std::string) {});
        deliver(stream, [&](ByteView chunk) {
            reassembler.append(chunk, [&](Packet&& p) { packets += p.length > 0; });
        });
    }
    if (packets != state.iterations()) state.SkipWithError("payload not dispatched once per run");
    state.SetBytesProcessed(static_cast<std::int64_t>(stream.size()) * state.iterations());
}

// The reassembly written the obvious way: the buffer is taken out, appended to, drained from the
// start and replaced by a copy of its tail on every chunk, so each chunk costs the whole buffer.
void BM_ReassembleNaive(benchmark::State& state) {
    Bytes stream = controlStream(static_cast<std::size_t>(state.range(0)));
    benchmark::IterationCount packets = 0;
    for (auto _ : state) {
        std::map<int, Bytes> receiveBuffers;
        deliver(stream, [&](ByteView chunk) {
            Bytes buffer = receiveBuffers[1];
            buffer.insert(buffer.end(), chunk.begin(), chunk.end());
            std::size_t cursor = 0;
            while (cursor < buffer.size()) {
                auto packet = Packet::decode(ByteView(buffer).subspan(cursor));
                if (!packet) break;
                cursor += packet->frameSize();
                if (packet->type == PacketType::pktInteractiveTap) packets += packet->length > 0;
            }
            receiveBuffers[1] =
                Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(cursor), buffer.end());
        });
    }
    if (packets != state.iterations()) state.SkipWithError("payload not dispatched once per run");
    state.SetBytesProcessed(static_cast<std::int64_t>(stream.size()) * state.iterations());
}

constexpr std::size_t smallPayload = 4096;

void BM_Encode4KiB(benchmark::State& state) {
    Packet packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo,
                  Bytes(smallPayload, 7));
    for (auto _ : state) {
        Bytes wire = packet.encode();
        benchmark::DoNotOptimize(wire.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(packet.frameSize()) * state.iterations());
}

void BM_EncodeInto4KiB(benchmark::State& state) {
    Packet packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo,
                  Bytes(smallPayload, 7));
    Bytes wire;
    for (auto _ : state) {
        wire.clear();
        packet.encode(wire);
        benchmark::DoNotOptimize(wire.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(packet.frameSize()) * state.iterations());
}

void BM_Decode4KiB(benchmark::State& state) {
    Bytes wire =
        Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo, Bytes(smallPayload, 7))
            .encode();
    for (auto _ : state) {
        auto packet = Packet::decode(wire);
        benchmark::DoNotOptimize(packet->data->data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(wire.size()) * state.iterations());
}

void BM_Memcpy4KiB(benchmark::State& state) {
    Bytes from(Packet::headerSize + smallPayload, 7), to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(from.size()) * state.iterations());
}

BENCHMARK(BM_Reassemble)->Arg(1 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReassembleNaive)
    ->Arg(1 << 20)
    ->Arg(8 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(BM_Memcpy4KiB);
BENCHMARK(BM_Encode4KiB);
BENCHMARK(BM_EncodeInto4KiB);
BENCHMARK(BM_Decode4KiB);

// Keeps each run's time per iteration and throughput so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            std::string name = run.benchmark_name();
            milliseconds[name] =
                run.real_accumulated_time * 1e3 / static_cast<double>(run.iterations);
            auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end()) bytesPerSecond[name] = rate->second.value;
        }
    }

    std::map<std::string, double> milliseconds;  // real time per iteration
    std::map<std::string, double> bytesPerSecond;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto time = [&](const char* name) {
        auto found = reporter.milliseconds.find(name);
        return found == reporter.milliseconds.end() ? 0.0 : found->second;
    };
    auto gbps = [&](const char* name) {
        auto found = reporter.bytesPerSecond.find(name);
        return found == reporter.bytesPerSecond.end() ? 0.0 : found->second / 1e9;
    };
    std::printf("\nSummary\n");
    double ours1 = time("BM_Reassemble/1048576"), ours8 = time("BM_Reassemble/8388608");
    double naive1 = time("BM_ReassembleNaive/1048576/iterations:2");
    double naive8 = time("BM_ReassembleNaive/8388608/iterations:2");
    if (ours1 > 0 && ours8 > 0)
        std::printf(
            "reassembly, 4096-byte chunks: 1 MiB %.3f ms, 8 MiB %.3f ms, ratio %.2f (target <= "
            "10)\n",
            ours1, ours8, ours8 / ours1);
    if (naive1 > 0 && naive8 > 0)
        std::printf(
            "naive baseline (copies the buffer per chunk): 1 MiB %.3f ms, 8 MiB %.3f ms, ratio "
            "%.2f\n",
            naive1, naive8, naive8 / naive1);
    if (ours8 > 0 && naive8 > 0) std::printf("8 MiB: naive / ours = %.1fx\n", naive8 / ours8);
    double copy = gbps("BM_Memcpy4KiB");
    for (const char* name : {"BM_Encode4KiB", "BM_EncodeInto4KiB", "BM_Decode4KiB"})
        if (copy > 0 && gbps(name) > 0)
            std::printf("%-18s %6.2f GB/s = %.2f of memcpy (%.2f GB/s)\n", name, gbps(name),
                        gbps(name) / copy, copy);
    return 0;
}
