// The simulated drive: the standard commands, the vendor side of the update, the
// injected faults, the command log and the drive's remembered state; and the
// transport made of such drives.
#include "platform/sim/SimulatedDrive.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "common/System.h"

namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kReadBuffer = 0x3C;
constexpr std::uint8_t kStopPlayScan = 0x4E;
constexpr std::uint8_t kReadFlashId = 0xDF;
constexpr std::uint8_t kReadFlashIdFunction = 0x11;

constexpr std::uint8_t kVendorMode = 0x05;  // WRITE BUFFER: the drive's download mode
constexpr std::uint8_t kReadDataMode = 0x01;
constexpr std::uint8_t kVendorBuffer = 0x01;
constexpr std::uint8_t kControlData = 0x00;
constexpr std::uint8_t kControlProfile = 0x7F;  // with data: profile; without: entry critical
constexpr std::uint8_t kControlCommit = 0x80;
constexpr std::uint8_t kControlCommitAll = 0xA0;

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

constexpr std::size_t kInquirySize = 36;
constexpr std::size_t kSenseSize = 18;

constexpr char kRevisionTag[] = "SIMREV=";
constexpr std::size_t kRevisionTagSize = sizeof kRevisionTag - 1;
constexpr std::size_t kRevisionSize = 4;
constexpr char kStateMagic[] = "SIMULATED DRIVE STATE 1\n";
constexpr char kStateRevisionKey[] = "revision=";
constexpr std::size_t kStateHeaderSize =
    sizeof kStateMagic - 1 + sizeof kStateRevisionKey - 1 + kRevisionSize + 1;
constexpr std::size_t kStateFileSize = kStateHeaderSize + SimulatedDrive::kFlashSize;

// Opens a file that is not there yet for writing: never an existing file, and
// never one a link points to.
constexpr int kCreateNew = O_WRONLY | O_CREAT | O_EXCL
#ifdef O_NOFOLLOW
                           | O_NOFOLLOW
#endif
#ifdef O_CLOEXEC
                           | O_CLOEXEC
#endif
#ifdef O_BINARY
                           | O_BINARY
#endif
    ;

bool WriteAll(int file, const char* data, std::size_t size) {
  while (size > 0) {
    const auto part = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 20));
    const auto written = write(file, data, part);
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::uint32_t Field24(const std::uint8_t* cdb, int at) {
  return static_cast<std::uint32_t>(cdb[at]) << 16 | static_cast<std::uint32_t>(cdb[at + 1]) << 8 |
         cdb[at + 2];
}

bool IsCommit(const std::uint8_t* cdb) {
  return cdb[0] == kWriteBuffer && (cdb[9] == kControlCommit || cdb[9] == kControlCommitAll);
}

bool InRange(std::uint32_t offset, std::uint32_t length) {
  return static_cast<std::uint64_t>(offset) + length <= SimulatedDrive::kBufferMemorySize;
}

// A data phase that goes the other way than the command moves its data.
bool WrongWay(const CommandRequest& request, bool dataIn) {
  return request.Length > 0 && request.DataIn != dataIn;
}

void PutPadded(std::uint8_t* field, std::size_t width, const std::string& text) {
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

// Copies a reply into the host's buffer: no more than the reply holds, the host
// asked for, or the command's allocation length allows. Returns the count.
std::uint32_t Reply(const CommandRequest& request, const std::uint8_t* data, std::size_t size,
                    std::size_t allocation) {
  const std::size_t count = std::min({size, static_cast<std::size_t>(request.Length), allocation});
  if (count > 0) std::memcpy(request.Data, data, count);
  return static_cast<std::uint32_t>(count);
}

// Fixed-format sense data with the key byte, code and qualifier in their places.
void PutSense(std::uint8_t (&sense)[kSenseSize], std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::memset(sense, 0, sizeof sense);
  sense[0] = 0x70;
  sense[2] = key;
  sense[7] = kSenseSize - 8;
  sense[12] = asc;
  sense[13] = ascq;
}

bool SameFault(const SimFault& a, const SimFault& b) {
  return a.What == b.What && a.Opcode == b.Opcode && a.Control == b.Control && a.Occurrence == b.Occurrence &&
         a.Key == b.Key && a.Asc == b.Asc && a.Ascq == b.Ascq && a.Status == b.Status &&
         a.SenseData == b.SenseData && a.SenseLength == b.SenseLength && a.Milliseconds == b.Milliseconds &&
         a.Residual == b.Residual;
}

bool SameFaults(const std::vector<SimFault>& a, const std::vector<SimFault>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), SameFault);
}

// The revision an image announces with the tag, or `current` when it has none.
std::string RevisionIn(const std::uint8_t* image, std::size_t size, const std::string& current) {
  const std::uint8_t* end = image + size;
  const std::uint8_t* tag = std::search(image, end, kRevisionTag, kRevisionTag + kRevisionTagSize);
  if (end - tag < static_cast<std::ptrdiff_t>(kRevisionTagSize + kRevisionSize)) return current;
  const std::uint8_t* revision = tag + kRevisionTagSize;
  if (!std::all_of(revision, revision + kRevisionSize, [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; }))
    return current;
  return std::string(revision, revision + kRevisionSize);
}

std::string PaddedRevision(const std::string& revision) {
  std::string text = revision.substr(0, kRevisionSize);
  text.resize(kRevisionSize, ' ');
  return text;
}

}  // namespace

namespace SimError {

std::string Text(std::uint32_t error) {
  switch (error) {
    case 0:
      return "Success";
    case kNoEntry:
      return "No such file or directory";
    case kIo:
      return "Input/output error";
    case kBadHandle:
      return "Bad file descriptor";
    case kAccess:
      return "Permission denied";
    case kBusy:
      return "Device or resource busy";
    case kFault:
      return "Bad address";
    case kTimedOut:
      return "Connection timed out";
    default:
      return "";
  }
}

}  // namespace SimError

SimulatedDrive::SimulatedDrive(SimDriveConfig config)
    : config_(std::move(config)), flash_(kFlashSize, 0xFF), buffer_(kBufferMemorySize, 0x00) {}

int SimulatedDrive::CountCommands(std::uint8_t opcode, int control) const {
  return static_cast<int>(std::count_if(log_.begin(), log_.end(), [&](const Received& r) {
    return r.Cdb[0] == opcode && (control < 0 || r.Cdb[9] == control);
  }));
}

void SimulatedDrive::SetFlash(const std::vector<std::uint8_t>& contents) {
  std::fill(flash_.begin(), flash_.end(), 0xFF);
  std::copy_n(contents.begin(), std::min(contents.size(), flash_.size()), flash_.begin());
}

void SimulatedDrive::SetClaimed(bool claimed) {
  if (claimed && !claimed_) ++claims_;
  claimed_ = claimed;
}

CommandResult SimulatedDrive::Execute(const CommandRequest& request) {
  if (recording_) {
    Received received;
    std::copy(std::begin(request.Cdb), std::end(request.Cdb), received.Cdb.begin());
    received.DataIn = request.DataIn;
    received.Length = request.Length;
    received.Claimed = claimed_;
    if (!request.DataIn && request.Data != nullptr)
      received.Data.assign(request.Data, request.Data + request.Length);
    log_.push_back(std::move(received));
  }
  // A data phase with nowhere to go never reaches the drive.
  if (request.Length > 0 && request.Data == nullptr) return CommandResult::Failed(SimError::kFault);

  const SimFault* fault = FiringFault(request);
  if (fault == nullptr) return Answer(request);
  switch (fault->What) {
    case SimFault::Kind::CheckCondition:
    case SimFault::Kind::CommitFailure:
      return Check(fault->Key, fault->Asc, fault->Ascq);
    case SimFault::Kind::TransportFailure:
      return CommandResult::Failed(SimError::kIo);
    case SimFault::Kind::Timeout:
      return CommandResult::Failed(SimError::kTimedOut);
    case SimFault::Kind::DropWrite:
      return Good();
    case SimFault::Kind::Reply:
      return RawReply(*fault);
    case SimFault::Kind::Delay:
      std::this_thread::sleep_for(std::chrono::milliseconds(fault->Milliseconds));
      return Answer(request);
    case SimFault::Kind::FlipReadBit:
      break;
  }
  // The command runs, and one bit of its data turns over on the way: in what it
  // returns, or in what it stores.
  replyLength_ = 0;
  storedLength_ = 0;
  const CommandResult result = Answer(request);
  if (request.DataIn && replyLength_ > 0) request.Data[(replyLength_ - 1) / 2] ^= 0x01;
  if (storedLength_ > 0) buffer_[storedOffset_ + (storedLength_ - 1) / 2] ^= 0x01;
  return result;
}

const SimFault* SimulatedDrive::FiringFault(const CommandRequest& request) {
  if (!SameFaults(faultsSeen_, config_.Faults)) {
    faultsSeen_ = config_.Faults;
    faultMatches_.assign(config_.Faults.size(), 0);
  }
  const SimFault* firing = nullptr;
  for (std::size_t i = 0; i < config_.Faults.size(); ++i) {
    const SimFault& fault = config_.Faults[i];
    bool hits =
        fault.What == SimFault::Kind::CommitFailure ? IsCommit(request.Cdb) : request.Cdb[0] == fault.Opcode;
    if (hits && fault.Control >= 0 && request.Cdb[9] != fault.Control) hits = false;
    if (!hits) continue;
    const int count = ++faultMatches_[i];
    if (firing == nullptr && (fault.Occurrence == 0 || count == fault.Occurrence)) firing = &fault;
  }
  return firing;
}

// The drive reports no residual: ATAPI drives behind the usual adapters do not,
// and the read-back compare must hold without one.
CommandResult SimulatedDrive::Good() {
  sense_ = {};
  return CommandResult::WithStatus(kStatusGood);
}

CommandResult SimulatedDrive::Check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  sense_ = {key, asc, ascq};
  CommandResult result = CommandResult::WithStatus(kStatusCheckCondition);
  std::uint8_t sense[kSenseSize];
  PutSense(sense, key, asc, ascq);
  result.SetSense(sense, sizeof sense);
  return result;
}

CommandResult SimulatedDrive::RawReply(const SimFault& fault) {
  CommandResult result = CommandResult::WithStatus(fault.Status);
  result.SetSense(fault.SenseData.data(), fault.SenseLength);
  result.ResidualKnown = fault.Residual >= 0;
  result.Residual = fault.Residual >= 0 ? static_cast<std::uint32_t>(fault.Residual) : 0;
  return result;
}

bool SimulatedDrive::BecomingReady() const {
  const int polls = config_.BecomingReadyPolls;
  return polls < 0 || (polls > 0 && readyPolls_ <= polls);
}

CommandResult SimulatedDrive::Answer(const CommandRequest& request) {
  switch (request.Cdb[0]) {
    case kTestUnitReady:
      ++readyPolls_;
      return BecomingReady() ? Check(0x02, 0x04, 0x01) : Good();
    case kStopPlayScan:
      return BecomingReady() ? Check(0x02, 0x04, 0x01) : Good();
    case kStartStopUnit:
      return Good();
    case kRequestSense:
      return RequestSense(request);
    case kInquiry:
      return Inquiry(request);
    case kReadFlashId:
      return ReadFlashId(request);
    case kWriteBuffer:
      return WriteBufferCommand(request);
    case kReadBuffer:
      return ReadBufferCommand(request);
    default:
      return Check(0x05, 0x20, 0x00);
  }
}

CommandResult SimulatedDrive::RequestSense(const CommandRequest& request) {
  if (WrongWay(request, true)) return Check(0x05, 0x24, 0x00);
  std::uint8_t sense[kSenseSize];
  PutSense(sense, sense_[0], sense_[1], sense_[2]);
  replyLength_ = Reply(request, sense, sizeof sense, request.Cdb[4]);
  return Good();
}

CommandResult SimulatedDrive::Inquiry(const CommandRequest& request) {
  if (config_.InquiryFails) return Check(0x05, 0x24, 0x00);
  if ((request.Cdb[1] & 0x01) != 0 || request.Cdb[2] != 0 || WrongWay(request, true))
    return Check(0x05, 0x24, 0x00);
  const std::size_t allocation = static_cast<std::size_t>(request.Cdb[3]) << 8 | request.Cdb[4];
  if (!config_.InquiryData.empty()) {
    replyLength_ = Reply(request, config_.InquiryData.data(), config_.InquiryData.size(), allocation);
    return Good();
  }
  std::uint8_t data[kInquirySize] = {};
  data[0] = 0x05;  // CD/DVD device
  data[1] = 0x80;  // removable medium
  data[3] = 0x02;  // response data format
  data[4] = kInquirySize - 5;
  PutPadded(data + 8, 8, config_.Vendor);
  PutPadded(data + 16, 16, config_.Product);
  PutPadded(data + 32, kRevisionSize, config_.Revision);
  replyLength_ = Reply(request, data, sizeof data, allocation);
  return Good();
}

CommandResult SimulatedDrive::ReadFlashId(const CommandRequest& request) {
  if (request.Cdb[1] != kReadFlashIdFunction || WrongWay(request, true)) return Check(0x05, 0x24, 0x00);
  std::uint8_t reply[kFlashIdReplySize] = {};
  reply[0] = config_.FlashManufacturer;
  reply[1] = config_.FlashDevice;
  reply[2] = config_.Variant[0];
  reply[3] = config_.Variant[1];
  replyLength_ = Reply(request, reply, sizeof reply, kFlashIdReplySize);
  return Good();
}

bool SimulatedDrive::MovesDataOut(const std::uint8_t* cdb) {
  return cdb[0] == kWriteBuffer && (cdb[9] == kControlData || cdb[9] == kControlProfile);
}

CommandResult SimulatedDrive::WriteBufferCommand(const CommandRequest& request) {
  const std::uint8_t* cdb = request.Cdb;
  if ((cdb[1] & 0x1F) != kVendorMode || cdb[2] != kVendorBuffer) return Check(0x05, 0x24, 0x00);
  const std::uint8_t control = cdb[9];
  if (control == kControlCommit || control == kControlCommitAll) return Commit(request);
  if (control != kControlData && control != kControlProfile) return Check(0x05, 0x24, 0x00);

  const std::uint32_t offset = Field24(cdb, 3);
  const std::uint32_t length = Field24(cdb, 6);
  if (request.Length != length || WrongWay(request, false) || !InRange(offset, length))
    return Check(0x05, 0x24, 0x00);
  if (length == 0) {
    if (control == kControlProfile) critical_ = true;
    return Good();
  }
  std::memcpy(buffer_.data() + offset, request.Data, length);
  storedOffset_ = offset;
  storedLength_ = length;
  return Good();
}

CommandResult SimulatedDrive::ReadBufferCommand(const CommandRequest& request) {
  const std::uint8_t* cdb = request.Cdb;
  if ((cdb[1] & 0x1F) != kReadDataMode || cdb[2] != kVendorBuffer) return Check(0x05, 0x24, 0x00);
  const std::uint32_t offset = Field24(cdb, 3);
  const std::uint32_t length = Field24(cdb, 6);
  if (request.Length != length || WrongWay(request, true) || !InRange(offset, length))
    return Check(0x05, 0x24, 0x00);
  if (length > 0) std::memcpy(request.Data, buffer_.data() + offset, length);
  replyLength_ = length;
  return Good();
}

CommandResult SimulatedDrive::Commit(const CommandRequest& request) {
  if (WrongWay(request, true)) return Check(0x05, 0x24, 0x00);
  const std::string revision = RevisionIn(buffer_.data(), kFlashSize, config_.Revision);
  // The state file goes first: a drive that cannot keep its new flash keeps the old.
  if (!stateFile_.empty() && !SaveState(buffer_.data(), revision)) {
    std::cerr << "Simulated drive " << config_.Name << ": cannot write its state file " << stateFile_ << '\n';
    return Check(0x03, 0x0C, 0x00);
  }
  std::copy_n(buffer_.begin(), kFlashSize, flash_.begin());
  SetRevision(revision);
  ++commits_;

  std::uint8_t reply[kCommitReplySize] = {};
  PutPadded(reply, kRevisionSize, config_.Revision);
  std::uint32_t sum = 0;
  for (std::uint8_t byte : flash_) sum += byte;
  reply[4] = static_cast<std::uint8_t>(sum >> 24);
  reply[5] = static_cast<std::uint8_t>(sum >> 16);
  reply[6] = static_cast<std::uint8_t>(sum >> 8);
  reply[7] = static_cast<std::uint8_t>(sum);
  replyLength_ = Reply(request, reply, sizeof reply, kCommitReplySize);
  return Good();
}

void SimulatedDrive::SetRevision(const std::string& revision) {
  config_.Revision = revision;
  if (config_.InquiryData.size() >= 32 + kRevisionSize) {
    const std::string padded = PaddedRevision(revision);
    std::copy(padded.begin(), padded.end(), config_.InquiryData.begin() + 32);
  }
}

bool SimulatedDrive::SaveState(const std::uint8_t* flash, const std::string& revision) const {
  // The new state is written to a work file made afresh: whatever lies under its
  // name (left by a run that stopped, or put there by anyone) is removed, never
  // written through, and the name taken again in between makes the save fail.
  const std::string temporary = stateFile_ + ".new";
  RemoveFile(temporary);
  const int file = open(temporary.c_str(), kCreateNew, 0666);
  if (file < 0) return false;
  const std::string header = std::string(kStateMagic) + kStateRevisionKey + PaddedRevision(revision) + '\n';
  bool written = WriteAll(file, header.data(), header.size()) &&
                 WriteAll(file, reinterpret_cast<const char*>(flash), kFlashSize);
  written = close(file) == 0 && written;
  const bool renamed = written && RenameReplacing(temporary, stateFile_);
  if (!renamed) RemoveFile(temporary);
  return renamed;
}

bool SimulatedDrive::UseStateFile(const std::string& path, std::string& error) {
  stateFile_.clear();
  std::string why;
  const FileKind kind = KindOfFile(path, &why);
  if (kind == FileKind::Unknown) {
    error = "cannot look for the drive state file " + path + ": " + why;
    return false;
  }
  if (kind == FileKind::Missing) {
    stateFile_ = path;
    return true;
  }
  // Only a file of a state's size is read, and never more of it than a state
  // holds: a device, a pipe or a huge file named as the state is refused.
  if (kind != FileKind::Regular) {
    error = "the drive state file " + path + " is not a regular file";
    return false;
  }
  std::uint64_t size = 0;
  std::string contents;
  if (FileSizeOf(path, size) && size == kStateFileSize) {
    std::ifstream in(path, std::ios::binary);
    contents.resize(kStateFileSize + 1);
    in.read(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!in.is_open() || in.bad()) {
      error = "cannot read the drive state file " + path;
      return false;
    }
    contents.resize(static_cast<std::size_t>(in.gcount()));
  }
  const std::string header = std::string(kStateMagic) + kStateRevisionKey;
  const std::size_t flashAt = kStateHeaderSize;
  if (contents.size() != kStateFileSize || contents.compare(0, header.size(), header) != 0 ||
      contents[flashAt - 1] != '\n') {
    error = "the drive state file " + path + " is damaged (delete it to start with an erased drive)";
    return false;
  }
  SetRevision(contents.substr(header.size(), kRevisionSize));
  std::copy_n(contents.begin() + static_cast<std::ptrdiff_t>(flashAt), kFlashSize, flash_.begin());
  stateFile_ = path;
  return true;
}

SimulatedDrive& SimulatedTransport::Add(SimDriveConfig config) {
  drives_.push_back(std::make_unique<SimulatedDrive>(std::move(config)));
  openCounts_.push_back(0);
  return *drives_.back();
}

SimulatedDrive* SimulatedTransport::Find(const std::string& name) {
  for (auto& drive : drives_)
    if (drive->Config().Name == name) return drive.get();
  return nullptr;
}

std::uint8_t SimulatedTransport::Setup(MessageSink&) {
  return dsOk;
}

std::vector<DriveAddress> SimulatedTransport::Enumerate() {
  std::vector<DriveAddress> addresses;
  for (const auto& drive : drives_) {
    const SimDriveConfig& config = drive->Config();
    addresses.push_back({config.Letter, config.HaId, config.Target, config.Lun, config.Name});
  }
  return addresses;
}

OpenResult SimulatedTransport::Open(const DriveAddress& address) {
  OpenResult result;
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    const SimDriveConfig& config = drives_[i]->Config();
    const bool named = address.Locator.empty()
                           ? config.Letter == address.Letter && config.HaId == address.HaId &&
                                 config.Target == address.Target && config.Lun == address.Lun
                           : config.Name == address.Locator;
    if (!named) continue;
    result.Path = "/dev/sim/" + config.Name;
    if (config.OpenFails) {
      result.Error = config.OpenError;
      return result;
    }
    ++openCounts_[i];
    ++opens_;
    result.Handle = static_cast<DeviceHandle>(i);
    return result;
  }
  result.Path = "/dev/sim/" + (address.Locator.empty() ? std::string(1, address.Letter) : address.Locator);
  result.Error = SimError::kNoEntry;
  return result;
}

void SimulatedTransport::Close(DeviceHandle handle) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= drives_.size() || openCounts_[handle] == 0) return;
  --openCounts_[handle];
  ++closes_;
}

Transport::Claim SimulatedTransport::ClaimDrive(DeviceHandle& handle, const DriveAddress&) {
  Claim claim;
  if (handle < 0 || static_cast<std::size_t>(handle) >= drives_.size() || openCounts_[handle] == 0)
    return claim;
  if (drives_[handle]->Config().Held) {
    claim.Refused = true;
    claim.Reason = SimError::Text(SimError::kBusy);
    return claim;
  }
  drives_[handle]->SetClaimed(true);
  return claim;
}

void SimulatedTransport::ReleaseDrive(DeviceHandle& handle, const DriveAddress&) {
  if (handle >= 0 && static_cast<std::size_t>(handle) < drives_.size()) drives_[handle]->SetClaimed(false);
}

CommandResult SimulatedTransport::Execute(DeviceHandle handle, const DriveAddress&,
                                          const CommandRequest& request) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= drives_.size() || openCounts_[handle] == 0)
    return CommandResult::Failed(SimError::kBadHandle);
  return drives_[handle]->Execute(request);
}

std::string SimulatedTransport::ErrorText(std::uint32_t error) {
  return SimError::Text(error);
}

std::uint32_t SimulatedTransport::DeviceError() const {
  return SimError::kIo;
}
