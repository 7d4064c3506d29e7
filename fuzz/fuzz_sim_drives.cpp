// The simulated drives' files: the drive description file and a drive's state
// file. A bad file gives a clean error naming it; a good one gives drives that
// answer a short session of commands, and a state survives a commit, a save and
// a load unchanged.
//
// The first byte chooses the file: even, a description file (the rest of the
// bytes); odd, a state file: the rest of the bytes alone (bit 1 clear), or laid
// over a valid state file whose length the next byte changes by -128..127.
#include <algorithm>

#include "fuzz/FuzzSupport.h"
#include "platform/linux/Platform.h"
#include "platform/sim/SimulatedDrives.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kChunk = 16384;

CommandResult Send(SimulatedTransport& drives, DeviceHandle handle, std::vector<std::uint8_t> cdb,
                   bool dataIn, std::uint8_t* data, std::uint32_t length) {
  CommandRequest request;
  std::copy(cdb.begin(), cdb.end(), request.Cdb);
  request.DataIn = dataIn;
  request.Data = data;
  request.Length = length;
  return drives.Execute(handle, {}, request);
}

std::uint8_t High(std::uint32_t v) {
  return static_cast<std::uint8_t>(v >> 16);
}
std::uint8_t Mid(std::uint32_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}
std::uint8_t Low(std::uint32_t v) {
  return static_cast<std::uint8_t>(v);
}

// Programs `flash` into drive `handle`: buffer memory chunk by chunk, then a commit.
bool Program(SimulatedTransport& drives, DeviceHandle handle, std::vector<std::uint8_t> flash) {
  for (std::uint32_t at = 0; at < flash.size(); at += kChunk) {
    const CommandResult r =
        Send(drives, handle,
             {0x3B, 0x05, 0x01, High(at), Mid(at), Low(at), 0x00, Mid(kChunk), Low(kChunk), 0x00, 0, 0},
             false, flash.data() + at, kChunk);
    if (!r.Completed || r.Status != 0) return false;
  }
  std::uint8_t reply[SimulatedDrive::kCommitReplySize];
  const CommandResult r =
      Send(drives, handle, {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x80, 0, 0}, true, reply, sizeof reply);
  return r.Completed && r.Status == 0;
}

// A short session on every drive: what the program sends, the update's commands
// included.
void Session(SimulatedTransport& drives) {
  std::vector<std::uint8_t> data(256);
  for (const DriveAddress& address : drives.Enumerate()) {
    const OpenResult opened = drives.Open(address);
    if (opened.Handle == kNoDevice) {
      FUZZ_CHECK(opened.Error != 0, "a failed open names its error");
      continue;
    }
    const DeviceHandle h = opened.Handle;
    Send(drives, h, {0x12, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}, true, data.data(), 128);
    Send(drives, h, {0x1B, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0}, true, nullptr, 0);
    Send(drives, h, {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, nullptr, 0);
    Send(drives, h, {0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, nullptr, 0);
    Send(drives, h, {0x03, 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0}, true, data.data(), 18);
    Send(drives, h, {0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, data.data(), 128);
    Send(drives, h, {0x3B, 0x05, 0x01, 0x08, 0, 0, 0, 0, 16, 0x7F, 0, 0}, false, data.data(), 16);
    Send(drives, h, {0x3C, 0x01, 0x01, 0x08, 0, 0, 0, 0, 16, 0, 0, 0}, true, data.data(), 16);
    Send(drives, h, {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x7F, 0, 0}, true, nullptr, 0);
    Send(drives, h, {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x80, 0, 0}, true, data.data(), 16);
    Send(drives, h, {0x12, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}, true, data.data(), 128);
    drives.Close(h);
  }
}

void Description(const fs::path& dir, FuzzInput& in) {
  const fs::path path = dir / kSimDrivesFileName;
  const std::vector<std::uint8_t> bytes = in.Rest();
  WriteFuzzFile(path, bytes.data(), bytes.size());
  auto reader = MakeIniReader();
  std::string error;
  std::unique_ptr<SimulatedTransport> drives = LoadSimulatedDrives(path.string(), *reader, error);
  if (drives == nullptr) {
    FUZZ_CHECK(error.rfind(path.string() + ": ", 0) == 0, "the reason names the file: " + error);
    return;
  }
  FUZZ_CHECK(drives->Size() <= 64, "at most 64 drives");
  for (std::size_t i = 0; i < drives->Size(); ++i) {
    SimulatedDrive& drive = drives->Drive(i);
    drive.SetRecording(false);
    const SimDriveConfig& config = drive.Config();
    FUZZ_CHECK(config.Letter == ' ' || (config.Letter >= 'A' && config.Letter <= 'Z'), "a drive letter");
    const fs::path state = fs::path(config.StateFile).lexically_normal();
    // Inside the folder: no ".." step out of it ("..x" is a name like any other).
    const fs::path inside = state.lexically_relative(dir);
    FUZZ_CHECK(!inside.empty() && *inside.begin() != "..",
               "the state file lies in the description's folder: " + config.StateFile);
    // Only state files in the scratch folder are read and written here.
    if (state.parent_path() != dir) continue;
    std::string stateError;
    if (!drive.UseStateFile(state.string(), stateError)) {
      FUZZ_CHECK(stateError.find(state.string()) != std::string::npos, "the reason names the state file");
    }
  }
  Session(*drives);
}

// A valid state file, as a drive writes it after a commit.
const std::vector<std::uint8_t>& ValidState(const fs::path& dir) {
  static const std::vector<std::uint8_t> bytes = [&] {
    const fs::path path = dir / "valid.simstate";
    SimulatedTransport drives;
    SimDriveConfig config;
    config.Name = "valid";
    std::string error;
    FUZZ_CHECK(drives.Add(config).UseStateFile(path.string(), error), error);
    std::vector<std::uint8_t> flash(SimulatedDrive::kFlashSize, 0x3C);
    std::copy_n("SIMREV=1A2B", 11, flash.begin() + 0x40);
    FUZZ_CHECK(Program(drives, drives.Open(drives.Enumerate()[0]).Handle, flash), "saving a state");
    std::ifstream file(path, std::ios::binary);
    std::vector<std::uint8_t> state((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    fs::remove(path);
    return state;
  }();
  return bytes;
}

void State(const fs::path& dir, FuzzInput& in, bool overlay) {
  std::vector<std::uint8_t> bytes;
  if (overlay) {
    bytes = ValidState(dir);
    const int delta = static_cast<std::int8_t>(in.Byte());
    const std::vector<std::uint8_t> over = in.Rest();
    std::copy_n(over.begin(), std::min(over.size(), bytes.size()), bytes.begin());
    bytes.resize(static_cast<std::size_t>(static_cast<int>(bytes.size()) + delta), 0xFF);
  } else {
    bytes = in.Rest();
  }
  const fs::path path = dir / "drive.simstate";
  WriteFuzzFile(path, bytes.data(), bytes.size());

  SimulatedTransport drives;
  SimDriveConfig config;
  config.Name = "drive";
  SimulatedDrive& drive = drives.Add(config);
  drive.SetRecording(false);
  std::string error;
  if (!drive.UseStateFile(path.string(), error)) {
    FUZZ_CHECK(error.find(path.string()) != std::string::npos, "the reason names the state file: " + error);
    return;
  }
  // The flash is the file's last bytes.
  const std::vector<std::uint8_t> loaded = drive.Flash();
  FUZZ_CHECK(
      bytes.size() >= loaded.size() &&
          std::equal(loaded.begin(), loaded.end(), bytes.end() - static_cast<std::ptrdiff_t>(loaded.size())),
      "the loaded flash is the file's");
  // Commit what was loaded; a fresh drive then loads the same flash and revision.
  FUZZ_CHECK(Program(drives, drives.Open(drives.Enumerate()[0]).Handle, loaded),
             "committing the loaded flash");
  SimulatedDrive again(config);
  FUZZ_CHECK(again.UseStateFile(path.string(), error), "loading a saved state: " + error);
  FUZZ_CHECK(again.Flash() == drive.Flash(), "the saved flash");
  FUZZ_CHECK(again.Config().Revision == drive.Config().Revision,
             "the saved revision \"" + drive.Config().Revision + "\" came back as \"" +
                 again.Config().Revision + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Each input starts from an empty folder: no state of an earlier input is read.
  const fs::path dir = (FuzzScratchDir() / "drives").lexically_normal();
  fs::remove_all(dir);
  fs::create_directories(dir);
  FuzzInput in(data, size);
  const std::uint8_t mode = in.Byte();
  if ((mode & 1) == 0) {
    Description(dir, in);
  } else {
    State(dir, in, (mode & 2) != 0);
  }
  return 0;
}
