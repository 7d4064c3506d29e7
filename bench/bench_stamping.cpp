// Stamping a flash program from the built template, against a plain buffered
// copy of the same file, in the same run. Prints the ratio of the two (the
// stamping should take at most one and a half times the copy).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/FlashForm.h"
#include "app/FlashPackage.h"
#include "platform/linux/Platform.h"
#include "toolkit/recording/RecordingToolkit.h"

namespace {

namespace fs = std::filesystem;

// A scratch directory holding a copy of the template, a model list and a firmware
// image that fills the whole image area.
struct Workbench {
  fs::path Dir;
  fs::path Program;

  Workbench() {
    Dir = fs::temp_directory_path() / ("flashutil-bench-" + std::to_string(std::random_device()()));
    fs::create_directories(Dir);
    Program = Dir / "flashutil-sim";
    fs::copy_file(FLASHUTIL_SIM_PROGRAM, Program);
    std::ofstream(Dir / "flashutil-sim.INI") << "[MODEL00]\nModel=CRW-5224A\nInquiry=QVXR    CRW-5224A\n"
                                                "FW-Range=1000-1FFF\nBINMask=*.BIN\nVendor=QVXR\nNote=\n";
    std::vector<char> image(kImageAreaSize);
    std::mt19937 random(1);
    for (char& c : image) c = static_cast<char>(random());
    std::ofstream(Dir / "1A2B.BIN", std::ios::binary)
        .write(image.data(), static_cast<std::streamsize>(image.size()));
  }
  ~Workbench() {
    std::error_code error;
    fs::remove_all(Dir, error);
  }
};

Workbench& Bench() {
  static Workbench bench;
  return bench;
}

void BM_StampFlashProgram(benchmark::State& state) {
  RecordingToolkit ui;
  ui.ProgramPath = Bench().Program.string();
  ui.StartedPath = "./flashutil-sim";
  ui.WorkingDirectory = Bench().Dir.string();
  auto package = std::make_unique<FlashPackage>(EmbeddedPackage());
  TFlashForm form(ui, *package, [] { return MakeIniReader(); });
  ui.CreateMainWindow(form);
  form.FormCreate();
  ui.UserClicksFile("1A2B.BIN");
  for (auto _ : state) {
    ui.ProgressHistory.clear();
    if (!form.NewBuildFlashProgram()) state.SkipWithError("stamping failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(Bench().Program)));
}

void BM_PlainBufferedCopy(benchmark::State& state) {
  const fs::path target = Bench().Dir / "COPY.EXE";
  std::vector<char> block(1 << 16);
  for (auto _ : state) {
    std::ifstream in(Bench().Program, std::ios::binary);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
      out.write(block.data(), in.gcount());
    }
    if (!out.flush()) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(Bench().Program)));
}

BENCHMARK(BM_StampFlashProgram)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PlainBufferedCopy)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The console report, and the time of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // One run, or the median of repeated runs (--benchmark_repetitions).
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if ((single || median) && !run.error_occurred) {
        times_[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
      }
    }
  }
  // Real time and CPU time of each benchmark.
  const std::map<std::string, std::pair<double, double>>& Times() const { return times_; }

 private:
  std::map<std::string, std::pair<double, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& times = reporter.Times();
  const auto stamp = times.find("BM_StampFlashProgram");
  const auto copy = times.find("BM_PlainBufferedCopy");
  if (stamp != times.end() && copy != times.end() && copy->second.first > 0 && copy->second.second > 0) {
    std::printf("stamping / plain copy: %.2f real time, %.2f CPU time (target: at most 1.5)\n",
                stamp->second.first / copy->second.first, stamp->second.second / copy->second.second);
  }
  benchmark::Shutdown();
  return 0;
}
