// The update's own cost: a full update of a 512 KiB image against a simulated
// drive that answers at once, and the single commands it is made of.
//
// The recording toolkit's Sleep does not sleep, so the measured time is host time
// only; the sleeps the readiness poll must make (30 ms per poll) are reported
// apart, as mandated_sleep_ms, and added in total_ms.
#include <benchmark/benchmark.h>

#include <chrono>
#include <stdexcept>

#include "tests/UpdateRig.h"

namespace {

constexpr std::uint32_t kFull = 524288;

void BM_FullUpdate512K(benchmark::State& state) {
  const auto scheme = static_cast<Scheme>(state.range(0));
  double hostSeconds = 0;
  double sleptMilliseconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = std::make_unique<UpdateRig>(SchemePackage(kFull, scheme));
    rig->Drive->SetRecording(false);
    rig->Ui().Answers = {DialogResult::Yes};
    state.ResumeTiming();

    const auto start = std::chrono::steady_clock::now();
    rig->Ui().UserPressesButton();
    const auto end = std::chrono::steady_clock::now();

    state.PauseTiming();
    if (rig->Ui().Group != "Flash Completed.") throw std::runtime_error("update failed: " + rig->Ui().Group);
    hostSeconds += std::chrono::duration<double>(end - start).count();
    sleptMilliseconds += rig->Ui().SleptMilliseconds;
    rig.reset();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["host_ms"] = hostSeconds * 1000 / n;
  state.counters["mandated_sleep_ms"] = sleptMilliseconds / n;
  state.counters["total_ms"] = hostSeconds * 1000 / n + sleptMilliseconds / n;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFull * 2);  // up and back
  state.SetLabel(SchemeName(scheme));
}
BENCHMARK(BM_FullUpdate512K)
    ->Arg(static_cast<int>(Scheme::None))
    ->Arg(static_cast<int>(Scheme::ShortHeader))
    ->Arg(static_cast<int>(Scheme::LongHeader))
    ->Unit(benchmark::kMillisecond);

// One 16384-byte chunk each way: caller's buffer, transfer buffer, drive.
void BM_Chunk(benchmark::State& state) {
  const bool write = state.range(0) == 0;
  UpdateRig rig(SchemePackage(kFull, Scheme::None));
  rig.Drive->SetRecording(false);
  std::vector<std::uint8_t> chunk(16384, 0x5A);
  for (auto _ : state) {
    const bool ok = write ? rig.Form().WriteBuffer(0x10000, chunk.data(), 16384, 0x00)
                          : rig.Form().ReadBuffer(0x10000, chunk.data(), 16384);
    if (!ok) throw std::runtime_error("command failed");
    benchmark::DoNotOptimize(chunk.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 16384);
  state.SetLabel(write ? "WRITE BUFFER" : "READ BUFFER");
}
BENCHMARK(BM_Chunk)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
