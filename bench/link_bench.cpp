// Figures for the link: the checksum per frame, frames per second from the device through the
// reader and the mailbox to a consumer that drains it the way the window's tick does, and the
// reader's CPU use while nothing arrives.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "BitwiseChecksum.h"
#include "Connection.h"
#include "CpuShare.h"
#include "FakeHidPort.h"
#include "Read_tr.h"

namespace devlink {
namespace {

ReportFrame RandomFrame() {
  std::mt19937 random(7);
  ReportFrame frame;
  for (auto& byte : frame) byte = static_cast<std::uint8_t>(random());
  return frame;
}

void BM_ChecksumTable(benchmark::State& state) {
  const ReportFrame frame = RandomFrame();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReportChecksum(std::span(frame).first<kChecksumOffset>()));
  }
  state.SetLabel("per 60-byte frame");
}
BENCHMARK(BM_ChecksumTable);

void BM_ChecksumBitwise(benchmark::State& state) {
  const ReportFrame frame = RandomFrame();
  for (auto _ : state) {
    benchmark::DoNotOptimize(testing::BitwiseChecksum(std::span(frame).first<kChecksumOffset>()));
  }
  state.SetLabel("per 60-byte frame");
}
BENCHMARK(BM_ChecksumBitwise);

// The device delivers frames in batches of 500 (below the mailbox's capacity); the consumer drains
// every 1 ms until all have arrived.
void BM_ReaderToConsumer(benchmark::State& state) {
  testing::FakeHidPort port;
  DeviceLink link{port};
  ReadThread reader(link);
  port.Plug();
  link.Connect();
  const ReportFrame frame = BuildIncomingFrame(kLogText);
  std::vector<LinkEvent> taken;
  std::int64_t frames = 0;
  for (auto _ : state) {
    constexpr std::size_t kBatch = 500;
    for (std::size_t i = 0; i < kBatch; ++i) port.Send(frame);
    std::size_t received = 0;
    while (received < kBatch) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      link.Mailbox().TakeAll(taken);
      received += static_cast<std::size_t>(std::ranges::count_if(
          taken, [](const LinkEvent& event) { return std::holds_alternative<ReceivedReport>(event); }));
    }
    frames += static_cast<std::int64_t>(received);
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["dropped"] = static_cast<double>(link.Mailbox().DroppedCount());
  port.Unplug();
}
BENCHMARK(BM_ReaderToConsumer)->UseRealTime()->Unit(benchmark::kMillisecond);

// The process's CPU time while the reader waits for a connect (0) or reads a silent device (1),
// as a share of one core; the benchmark's own thread only sleeps.
void BM_ReaderIdleCpu(benchmark::State& state) {
  testing::FakeHidPort port;
  DeviceLink link{port};
  ReadThread reader(link);
  if (state.range(0) == 1) {
    port.Plug();
    link.Connect();
  }
  double share = 0;
  for (auto _ : state) share += CpuShare(std::chrono::seconds(2));
  state.counters["cpu_%_of_a_core"] = 100 * share / static_cast<double>(state.iterations());
  port.Unplug();
}
BENCHMARK(BM_ReaderIdleCpu)->Arg(0)->Arg(1)->Iterations(3)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace devlink

BENCHMARK_MAIN();
