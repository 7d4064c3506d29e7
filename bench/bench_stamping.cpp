// Stamping a flash program from the built template, against copies of the same
// file in the same run: `cp` itself, the kernel copy `cp` makes (without
// starting a process), and a plain buffered copy. Prints the ratios (stamping
// should take at most 1.1 times `cp`) and checks the stamped file byte for byte.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

std::vector<char> Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The stamped program is the template with the record and the image behind the
// keyword replaced, and nothing else changed.
bool StampedAsExpected(const fs::path& stamped) {
  const std::vector<char> program = Contents(Bench().Program), image = Contents(Bench().Dir / "1A2B.BIN");
  const std::vector<char> out = Contents(stamped);
  const char* keyword = EmbeddedPackage().PackageKeyword;
  const auto at = std::search(program.begin(), program.end(), keyword, keyword + kKeywordSize);
  if (at == program.end() || out.size() != program.size()) return false;
  const auto record = static_cast<std::size_t>(at - program.begin()) + kKeywordSize;
  const std::size_t imageAt = record + kModelRecordSize, rest = imageAt + image.size();
  std::uint32_t size = 0;
  for (int i = 3; i >= 0; --i) size = size << 8 | static_cast<unsigned char>(out[record + 133 + i]);
  return std::equal(program.begin(), program.begin() + record, out.begin()) &&
         std::memcmp(out.data() + record, "CRW-5224A", 10) == 0 && size == image.size() &&
         std::equal(image.begin(), image.end(), out.begin() + imageAt) &&
         std::equal(program.begin() + rest, program.end(), out.begin() + rest);
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
  if (!StampedAsExpected(Bench().Dir / "1A2B.EXE")) state.SkipWithError("stamped bytes differ");
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(Bench().Program)));
}

// /bin/cp of the template to a file that exists from the second round on, as the
// stamped program does.
void BM_Cp(benchmark::State& state) {
  const std::string from = Bench().Program.string(), to = (Bench().Dir / "CP.EXE").string();
  const char* argv[] = {"cp", from.c_str(), to.c_str(), nullptr};
  for (auto _ : state) {
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, "/bin/cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
        waitpid(child, &status, 0) != child || status != 0) {
      state.SkipWithError("cp failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(Bench().Program)));
}

// The copy `cp` makes, without starting a process: the target truncated and the
// whole file copied by the kernel; with `sync`, the copy is on the disk before
// it counts as made, as the stamped program is.
void KernelCopy(benchmark::State& state, bool sync) {
  const std::string from = Bench().Program.string(), to = (Bench().Dir / "KERNEL.EXE").string();
  for (auto _ : state) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    ssize_t n = 0;
    while ((n = copy_file_range(in, nullptr, out, nullptr, SSIZE_MAX, 0)) > 0) {
    }
    if (in < 0 || out < 0 || n < 0 || (sync && fsync(out) != 0)) state.SkipWithError("copy failed");
    close(in);
    close(out);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(Bench().Program)));
}
void BM_KernelCopy(benchmark::State& state) {
  KernelCopy(state, false);
}
void BM_KernelCopyAndSync(benchmark::State& state) {
  KernelCopy(state, true);
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

BENCHMARK(BM_StampFlashProgram)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Cp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KernelCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KernelCopyAndSync)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainBufferedCopy)->Unit(benchmark::kMillisecond);

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
  // cp runs as a process of its own, whose CPU time this process does not see.
  const struct {
    const char* name;
    const char* label;
    bool cpu;
  } copies[] = {{"BM_Cp", "cp", false},
                {"BM_KernelCopy", "kernel copy as cp makes it", true},
                {"BM_KernelCopyAndSync", "the same copy brought to the disk", true},
                {"BM_PlainBufferedCopy", "plain buffered copy", true}};
  for (const auto& c : copies) {
    const auto copy = times.find(c.name);
    if (stamp == times.end() || copy == times.end() || copy->second.first <= 0 || copy->second.second <= 0) {
      continue;
    }
    std::printf("stamping / %s: %.2f real time", c.label, stamp->second.first / copy->second.first);
    if (c.cpu) std::printf(", %.2f CPU time", stamp->second.second / copy->second.second);
    std::printf("%s\n", c.cpu ? "" : " (target: at most 1.1)");
  }
  benchmark::Shutdown();
  return 0;
}
