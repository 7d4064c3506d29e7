// flashutil-tcmu: one simulated drive served to the kernel through the TCM
// user-space backstore (target_core_user), so that the kernel shows it as an
// optical drive (/dev/srN, /dev/sgN) once tcm_loop links it to a SCSI host.
//
//   flashutil-tcmu UIO DRIVE [LOG]
//
// UIO is the backstore's UIO device ("uio0"); DRIVE names a drive of the set
// the simulated-drive program would run on in the working directory (the
// description file simdrives.ini there, else the built-in set), with its faults
// and its state file, which a commit updates. LOG, when given, gets one line per
// command: the CDB in hex, the data length, the status and the sense triple.
//
// The drive answers what the kernel's sr and sg drivers send while probing
// (MODE SENSE, GET CONFIGURATION, READ CAPACITY, ...) as it answers any opcode
// it does not model: CHECK CONDITION 05 20 00. A command that the drive would
// let time out (fault "timeout") is held unanswered for HOLD seconds (the
// environment's FLASHUTIL_TCMU_HOLD, default 65: past the program's 60 s time-out)
// and then ends with CHECK CONDITION 0B 00 00, as does a transport failure.
//
// Ends on SIGTERM or SIGINT; the state file is already written after each commit.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/Platform.h"
#include "platform/sim/SimulatedDrive.h"
#include "platform/sim/SimulatedDrives.h"
#include "tests/kernel/tcmu_ring.h"

namespace {

volatile std::sig_atomic_t stopping = 0;
void Stop(int) {
  stopping = 1;
}

constexpr std::uint8_t kCheckCondition = 0x02;

// The length of a CDB by its group code.
std::size_t CdbLength(std::uint8_t opcode) {
  switch (opcode >> 5) {
    case 0:
      return 6;
    case 4:
      return 16;
    case 5:
      return 12;
    default:
      return 10;
  }
}

class Server {
 public:
  Server(SimulatedDrive& drive, std::uint8_t* ring, std::FILE* log, int holdSeconds)
      : drive_(drive), ring_(ring), log_(log), holdSeconds_(holdSeconds) {}

  // Answers every command the kernel has put on the ring; true when there was one.
  bool Drain() {
    std::uint32_t tail = tcmu_ring_tail(ring_);
    const std::uint32_t head = tcmu_ring_head(ring_);
    bool any = false;
    while (tail != head) {
      if (tcmu_entry_kind(ring_, tail) == kTcmuCommand) {
        Answer(tail);
        any = true;
      }
      tail = tcmu_ring_after(ring_, tail);
      tcmu_ring_set_tail(ring_, tail);
    }
    return any;
  }

 private:
  struct Piece {
    std::uint64_t At, Length;
  };

  void Answer(std::uint32_t entry) {
    // The request's fields share their place with the answer: read them first.
    const std::uint8_t* cdb = tcmu_entry_cdb(ring_, entry);
    std::vector<Piece> pieces(tcmu_entry_pieces(ring_, entry));
    std::size_t length = 0;
    for (std::uint32_t i = 0; i < pieces.size(); ++i) {
      tcmu_entry_piece(ring_, entry, i, &pieces[i].At, &pieces[i].Length);
      length += pieces[i].Length;
    }

    CommandRequest request;
    std::memcpy(request.Cdb, cdb, std::min(CdbLength(cdb[0]), sizeof request.Cdb));
    request.DataIn = !SimulatedDrive::MovesDataOut(request.Cdb);
    request.Length = static_cast<std::uint32_t>(length);
    data_.assign(length, 0);
    request.Data = length > 0 ? data_.data() : nullptr;
    if (!request.DataIn) Gather(pieces);

    CommandResult result = drive_.Execute(request);
    if (!result.Completed) {
      // Nothing a SCSI target can say means "the transport failed": the command
      // ends aborted, after the wait a time-out takes.
      if (result.OsError == SimError::kTimedOut)
        std::this_thread::sleep_for(std::chrono::seconds(holdSeconds_));
      result = CommandResult::WithStatus(kCheckCondition);
      const std::uint8_t aborted[18] = {0x70, 0, 0x0B, 0, 0, 0, 0, 10};
      result.SetSense(aborted, sizeof aborted);
    }
    std::size_t moved = length;
    if (result.ResidualKnown) moved -= std::min<std::size_t>(result.Residual, moved);
    if (request.DataIn) Scatter(pieces, moved);

    Record(request, result);
    tcmu_entry_answer(ring_, entry, result.ScsiStatus, result.Sense, result.SenseLength,
                      request.DataIn && moved < length ? static_cast<std::int64_t>(moved) : -1);
  }

  void Gather(const std::vector<Piece>& pieces) {
    std::size_t at = 0;
    for (const Piece& piece : pieces) {
      std::memcpy(data_.data() + at, ring_ + piece.At, piece.Length);
      at += piece.Length;
    }
  }
  void Scatter(const std::vector<Piece>& pieces, std::size_t moved) {
    std::size_t at = 0;
    for (const Piece& piece : pieces) {
      const std::size_t n = std::min<std::size_t>(piece.Length, moved - at);
      std::memcpy(ring_ + piece.At, data_.data() + at, n);
      at += n;
    }
  }

  void Record(const CommandRequest& request, const CommandResult& result) {
    if (log_ == nullptr) return;
    for (std::size_t i = 0; i < CdbLength(request.Cdb[0]) && i < sizeof request.Cdb; ++i)
      std::fprintf(log_, "%02X ", request.Cdb[i]);
    const bool sense = result.SenseLength >= 14;
    std::fprintf(log_, "| %u | %02X | %02X %02X %02X\n", request.Length, result.ScsiStatus,
                 sense ? result.Sense[2] & 0x0F : 0, sense ? result.Sense[12] : 0,
                 sense ? result.Sense[13] : 0);
    std::fflush(log_);
  }

  SimulatedDrive& drive_;
  std::uint8_t* ring_;
  std::FILE* log_;
  int holdSeconds_;
  std::vector<std::uint8_t> data_;
};

std::size_t MapSize(const std::string& uio) {
  std::ifstream in("/sys/class/uio/" + uio + "/maps/map0/size");
  std::string text;
  in >> text;
  return static_cast<std::size_t>(std::strtoull(text.c_str(), nullptr, 0));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::cerr << "usage: flashutil-tcmu UIO DRIVE [LOG]\n";
    return 2;
  }
  const std::string uio = argv[1];
  std::string error;
  auto drives = MakeProgramSimulatedDrives(
      argv[0], [] { return MakeIniReader(); }, error);
  if (!drives) {
    std::cerr << "flashutil-tcmu: " << error << '\n';
    return 1;
  }
  SimulatedDrive* drive = drives->Find(argv[2]);
  if (drive == nullptr) {
    std::cerr << "flashutil-tcmu: no simulated drive " << argv[2] << '\n';
    return 1;
  }
  drive->SetRecording(false);

  const int fd = open(("/dev/" + uio).c_str(), O_RDWR | O_CLOEXEC);
  const std::size_t size = MapSize(uio);
  if (fd < 0 || size == 0) {
    std::cerr << "flashutil-tcmu: cannot open /dev/" << uio << ": " << std::strerror(errno) << '\n';
    return 1;
  }
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    std::cerr << "flashutil-tcmu: cannot map /dev/" << uio << ": " << std::strerror(errno) << '\n';
    return 1;
  }
  std::FILE* log = argc == 4 ? std::fopen(argv[3], "a") : nullptr;
  const char* hold = std::getenv("FLASHUTIL_TCMU_HOLD");
  Server server(*drive, static_cast<std::uint8_t*>(base), log, hold ? std::atoi(hold) : 65);

  struct sigaction action = {};
  action.sa_handler = Stop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::cout << "flashutil-tcmu: serving " << argv[2] << " on /dev/" << uio << std::endl;
  while (!stopping) {
    // Each read takes the kernel's count of new commands; each write tells it
    // that some were answered.
    if (server.Drain()) {
      const std::uint32_t done = 0;
      if (write(fd, &done, sizeof done) < 0 && errno != EINTR) break;
    }
    pollfd waiting = {fd, POLLIN, 0};
    if (poll(&waiting, 1, 1000) > 0) {
      std::uint32_t count = 0;
      if (read(fd, &count, sizeof count) < 0 && errno != EINTR) break;
    }
  }
  if (log != nullptr) std::fclose(log);
  munmap(base, size);
  close(fd);
  return 0;
}
