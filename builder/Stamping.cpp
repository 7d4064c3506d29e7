// Stamping a flash program: a copy of the program's own file in which the model
// record and the start of the image area behind the package keyword carry the
// chosen model and firmware image. Nothing else of the file changes but, in a
// Windows program, the headers' checksum, computed anew over the copy's bytes.
//
// The copy is written to a file of its own and takes the output's name only
// once all of it is on the disk: a build that fails replaces nothing of the
// user's and leaves no partial program behind. The kernel copies the unchanged
// bytes where it can; only the stamped region passes through the program.
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/FlashForm.h"
#include "builder/Builder.h"
#include "builder/PeChecksum.h"
#include "common/Files.h"
#include "common/Text.h"

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 16;
constexpr std::uint64_t kCopyPart = std::uint64_t{1} << 20;  // the kernel's copy between progress steps
constexpr std::uint64_t kProgressUnit = 1024;

// Where each field lies inside the model record, which follows the keyword directly.
constexpr std::size_t InRecord(std::size_t packageOffset) {
  return packageOffset - offsetof(FlashPackage, ModelName);
}

// The number of multiples of 1024 in [first, last]; none when first > last.
std::uint64_t ProgressSteps(std::uint64_t first, std::uint64_t last) {
  if (first > last) return 0;
  return last / kProgressUnit + 1 - (first + kProgressUnit - 1) / kProgressUnit;
}

// Finds the first place where all bytes of the keyword stand in a row. After a
// mismatch the search falls back to the longest part of the keyword that still
// matches, so a keyword preceded by a partial copy of itself is found as well.
class KeywordSearch {
 public:
  explicit KeywordSearch(const char* keyword) : keyword_(keyword) {
    std::size_t border = 0;
    fallback_[0] = 0;
    for (std::size_t i = 1; i < kKeywordSize; ++i) {
      while (border > 0 && keyword_[i] != keyword_[border]) border = fallback_[border - 1];
      if (keyword_[i] == keyword_[border]) ++border;
      fallback_[i] = border;
    }
  }

  // Takes the next bytes of the file in order; returns how many it took: all of
  // them, or those up to and including the keyword's last byte once it is found.
  std::size_t Take(const char* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
      if (matched_ == 0) {  // only the keyword's first byte can start it: skip to the next one
        const void* next = std::memchr(data + i, keyword_[0], size - i);
        if (next == nullptr) return size;
        i = static_cast<std::size_t>(static_cast<const char*>(next) - data);
      }
      const char byte = data[i++];
      while (matched_ > 0 && byte != keyword_[matched_]) matched_ = fallback_[matched_ - 1];
      if (byte == keyword_[matched_]) ++matched_;
      if (Found()) return i;
    }
    return size;
  }

  bool Found() const { return matched_ == kKeywordSize; }

 private:
  const char* keyword_;
  std::array<std::size_t, kKeywordSize> fallback_{};
  std::size_t matched_ = 0;
};

// A file for binary reading and its length, or false when it is no plain file
// that can be opened.
bool OpenForReading(const std::string& path, std::ifstream& stream, std::uint64_t& length) {
  if (path.empty() || KindOfFile(path) != FileKind::Regular) return false;
  stream.open(path, std::ios::binary);
  if (!stream) return false;
  stream.seekg(0, std::ios::end);
  const std::streamoff end = stream.tellg();
  stream.seekg(0, std::ios::beg);
  if (end < 0 || !stream) return false;
  length = static_cast<std::uint64_t>(end);
  return true;
}

std::size_t ReadBlock(std::ifstream& stream, char* data, std::size_t size) {
  stream.read(data, static_cast<std::streamsize>(size));
  return static_cast<std::size_t>(stream.gcount());
}

// Gives `take` the names "<output>.building", then numbered ones, until it
// succeeds with one, and returns that name (empty when none was taken). A name
// is passed over only when something already has it, a link to nowhere
// included: existence is decided without following links.
template <typename Take>
std::string TakeFreeName(const std::string& output, Take take) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = output + (attempt == 0 ? ".building" : Format(".building%d", attempt));
    if (take(candidate)) return candidate;
    if (!NameTaken(candidate)) break;  // no new file here
  }
  return {};
}

enum class Copied { All, ReadFailed, WriteFailed };

// Copies the next `count` bytes of the program file behind what the output holds,
// through `buffer`.
template <typename Program, typename Output>
Copied CopyThroughBuffer(Program& program, Output& output, std::uint64_t count, std::vector<char>& buffer) {
  while (count > 0) {
    const std::size_t got = program.Read(buffer.data(), std::min<std::uint64_t>(count, buffer.size()));
    if (got == 0) return Copied::ReadFailed;
    if (!output.Write(buffer.data(), got)) return Copied::WriteFailed;
    count -= got;
  }
  return Copied::All;
}

#if defined(_WIN32)

// The program file, read in order.
class ProgramFile {
 public:
  bool Open(const std::string& path, std::uint64_t& length) { return OpenForReading(path, stream_, length); }
  std::size_t Read(char* data, std::size_t size) { return ReadBlock(stream_, data, size); }
  bool Seek(std::uint64_t position) {
    stream_.clear();
    return static_cast<bool>(stream_.seekg(static_cast<std::streamoff>(position)));
  }
  bool Failed() const { return stream_.bad(); }

 private:
  std::ifstream stream_;
};

// Opens a file for binary writing only when no file of that name exists. The C
// runtime the Windows programs link (msvcrt.dll) has no exclusive mode "x":
// Windows refuses the mode as invalid, so no program could ever be built, and
// Wine ignores it and opens an existing file. The name is looked up first.
std::FILE* OpenNewFile(const std::string& path) {
  if (NameTaken(path)) return nullptr;
  return std::fopen(path.c_str(), "wb");
}

// The new program while it is being written: a file of its own beside the
// output, removed unless it is given the output's name.
class PendingOutput {
 public:
  PendingOutput() = default;
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput() { Discard(); }

  // Creates a file whose name no existing file has, so no file of the user's is
  // ever opened for writing.
  bool Create(const std::string& output) {
    path_ = TakeFreeName(output,
                         [this](const std::string& name) { return (file_ = OpenNewFile(name)) != nullptr; });
    if (path_.empty()) return false;
    std::setvbuf(file_, nullptr, _IOFBF, kBlockSize);
    return true;
  }

  // The unit of the file system's storage; only the Linux copy makes use of it.
  std::uint64_t BlockSize() const { return 4096; }

  bool Write(const void* data, std::size_t size) { return std::fwrite(data, 1, size, file_) == size; }

  // Copies the next `count` bytes of the program file behind what is written.
  Copied CopyFrom(ProgramFile& program, std::uint64_t count, std::vector<char>& buffer) {
    return CopyThroughBuffer(program, *this, count, buffer);
  }

  // Windows has no execute permissions: any program file can be started.
  void TakeExecutePermissions(const std::string&) {}

  // Closes the file once every byte is on the disk; false when some byte did not
  // reach it.
  bool Sync() {
    const bool written = std::fflush(file_) == 0 && _commit(_fileno(file_)) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return written && closed;
  }

  // Gives the file the output's name, replacing a file of that name.
  bool MoveTo(const std::string& output) {
    if (!RenameReplacing(path_, output)) return false;
    path_.clear();
    return true;
  }

 private:
  void Discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!path_.empty()) RemoveFile(path_);
  }

  std::FILE* file_ = nullptr;
  std::string path_;
};

#else

// The program file, read in order; its descriptor also serves the kernel's copy.
class ProgramFile {
 public:
  ProgramFile() = default;
  ProgramFile(const ProgramFile&) = delete;
  ProgramFile& operator=(const ProgramFile&) = delete;
  ~ProgramFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // A plain file only: opening a pipe of that name would wait for a writer.
  bool Open(const std::string& path, std::uint64_t& length) {
    if (path.empty() || KindOfFile(path) != FileKind::Regular) return false;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    length = static_cast<std::uint64_t>(info.st_size);
    return true;
  }

  // As many bytes as asked, fewer only at the end of the file or on an error.
  std::size_t Read(char* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = ::read(fd_, data + got, size - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        failed_ = true;
        break;
      }
    }
    return got;
  }

  bool Seek(std::uint64_t position) {
    return ::lseek(fd_, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
  }
  bool Failed() const { return failed_; }
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  bool failed_ = false;
};

// The new program while it is being written. It has no name in the directory
// until it is complete, so nothing is left of it when the build fails or the
// program is killed; where the file system cannot create such a file it is a
// file of its own beside the output, removed unless it is given the output's name.
class PendingOutput {
 public:
  PendingOutput() = default;
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput() { Discard(); }

  bool Create(const std::string& output) {
    // An unnamed file is named through /proc; without it only a privileged process
    // may name one, so a named work file serves there.
    if (::access("/proc/self/fd", X_OK) == 0) {
      fd_ = ::open(Directory(output).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      if (fd_ >= 0) return true;
      // A kernel (EISDIR) or a file system (EOPNOTSUPP, EINVAL) without unnamed files.
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    }
    // A name no existing file has, so no file of the user's is ever opened for writing.
    path_ = TakeFreeName(output, [this](const std::string& name) {
      fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      return fd_ >= 0;
    });
    return !path_.empty();
  }

  // The unit of the file system's storage: copies that start and end on it can
  // share the template's blocks where the file system shares extents.
  std::uint64_t BlockSize() const {
    struct stat info {};
    const auto size = ::fstat(fd_, &info) == 0 ? static_cast<std::uint64_t>(info.st_blksize) : 0;
    const bool usable = size >= 512 && size <= kBlockSize && (size & (size - 1)) == 0;
    return usable ? size : 4096;
  }

  bool Write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::write(fd_, bytes, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  // Copies the next `count` bytes of the program file behind what is written.
  // The kernel copies them where it can (sharing extents where the file system
  // does); otherwise, and after any failure of its copy, they go through
  // `buffer`, which reports a failure of its own as reading or writing.
  Copied CopyFrom(ProgramFile& program, std::uint64_t count, std::vector<char>& buffer) {
    while (count > 0 && kernelCopy_) {
      const ssize_t n =
          ::copy_file_range(program.Descriptor(), nullptr, fd_, nullptr,
                            static_cast<std::size_t>(std::min<std::uint64_t>(count, SSIZE_MAX)), 0);
      if (n > 0) {
        count -= static_cast<std::uint64_t>(n);
      } else if (n == 0 || errno != EINTR) {
        kernelCopy_ = false;  // EXDEV, ENOSYS, EINVAL, EOPNOTSUPP, or an end the plain copy confirms
      }
    }
    return CopyThroughBuffer(program, *this, count, buffer);
  }

  // The new program can be started like the template: it takes the template's
  // execute permissions. A file system without them refuses; the program is built
  // all the same.
  void TakeExecutePermissions(const std::string& programPath) {
    struct stat program {};
    struct stat info {};
    if (::stat(programPath.c_str(), &program) != 0 || ::fstat(fd_, &info) != 0) return;
    ::fchmod(fd_, (info.st_mode & 07777) | (program.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)));
  }

  // True when every byte is on the disk.
  bool Sync() { return ::fsync(fd_) == 0; }

  // Gives the file the output's name, replacing a file of that name, and records
  // the name on the disk too.
  bool MoveTo(const std::string& output) {
    if (path_.empty()) {
      if (LinkAs(output)) return Committed(output);
      if (errno != EEXIST) return false;
      // A program of that name is replaced at once: the file takes a name of its
      // own first, then the output's.
      path_ = TakeFreeName(output, [this](const std::string& name) { return LinkAs(name); });
      if (path_.empty()) return false;
    }
    if (::rename(path_.c_str(), output.c_str()) != 0) return false;
    path_.clear();
    return Committed(output);
  }

 private:
  static std::string Directory(const std::string& output) {
    const std::string parent = PathParent(output);
    return parent.empty() ? "." : parent;
  }

  // Gives the unnamed file a name; errno tells why not (EEXIST: the name is taken).
  bool LinkAs(const std::string& name) const {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  }

  // The directory's new entry reaches the disk as well. The program is built
  // whatever the file system answers: its bytes are on the disk already.
  bool Committed(const std::string& output) {
    const int directory = ::open(Directory(output).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
      ::fsync(directory);
      ::close(directory);
    }
    return true;
  }

  void Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  int fd_ = -1;
  std::string path_;  // empty while the file has no name
  bool kernelCopy_ = true;
};

#endif

// Adds the program file's bytes [from, to) to the checksum.
bool AddFromFile(ProgramFile& program, PeChecksum& checksum, std::uint64_t from, std::uint64_t to,
                 std::vector<char>& buffer) {
  if (!program.Seek(from)) return false;
  while (from < to) {
    const std::size_t got = program.Read(buffer.data(), std::min<std::uint64_t>(to - from, buffer.size()));
    if (got == 0) return false;
    checksum.Add(from, reinterpret_cast<const std::uint8_t*>(buffer.data()), got);
    from += got;
  }
  return true;
}

}  // namespace

void TFlashForm::BuildFlashProgram() {
  const WorkScope work(ui_);
  ui_.SetCursor(CursorShape::Hourglass);
  NewBuildFlashProgram();  // it reports its own outcome
  ui_.SetCursor(CursorShape::Default);
}

bool TFlashForm::NewBuildFlashProgram() {
  ui_.SetGroupCaption("Building " + FirmwareFileName + "  Please wait... ");
  const std::string programName = PathFileName(ui_.ProgramStartedPath());
  const std::string someProblem = "Building fail: some problem in " + programName;

  const int k = ui_.ComboIndex();
  const std::vector<std::string>* const texts[] = {ModelList.get(), InquiryList.get(), FwRangeList.get(),
                                                   VendorList.get(), NoteList.get()};
  const bool modelChosen = k >= 0 && k < ui_.ComboCount() &&
                           std::all_of(std::begin(texts), std::end(texts), [k](const auto* list) {
                             return list != nullptr && static_cast<std::size_t>(k) < list->size();
                           });
  if (!modelChosen) {
    ui_.ShowMessage("Building fail: no model is selected");
    return false;
  }

  const std::string firmwarePath = FileListBox1.CurrentFile();
  std::ifstream firmware;
  std::uint64_t imageLength = 0;
  if (!OpenForReading(firmwarePath, firmware, imageLength)) {
    ui_.ShowMessage("Open " + FirmwareFileName + " fail!");
    return false;
  }
  // An image longer than the image area would overwrite the program behind it.
  if (imageLength > kLargestImage) {
    ui_.ShowMessage(
        Format("Building fail: %s is %llu bytes long, more than the %llu bytes a flash program "
               "can carry",
               FirmwareFileName.c_str(), static_cast<unsigned long long>(imageLength),
               static_cast<unsigned long long>(kLargestImage)));
    return false;
  }
  ImageSize = static_cast<std::uint32_t>(imageLength);

  const std::string programPath = ui_.ProgramFilePath();
  ProgramFile program;
  std::uint64_t programLength = 0;
  if (!program.Open(programPath, programLength)) {
    ui_.ShowMessage("Open " + programPath + " fail!");
    return false;
  }

  ui_.SetProgressMin(0);
  ui_.SetProgressMax(static_cast<int>(std::min<std::uint64_t>(programLength, INT_MAX)));
  ui_.SetProgressPosition(0);
  ui_.SetProgressStep(static_cast<int>(kProgressUnit));
  const auto advance = [this](std::uint64_t steps) {
    for (; steps > 0; --steps) ui_.ProgressStepIt();
  };

  const std::string outputName = Format("%4.4s.EXE", FirmwareFileName.c_str());
  const std::string createFail = Format("Create %4.4s.EXE Fail", FirmwareFileName.c_str());
  const std::string writeFail = Format("Write %4.4s.EXE Fail", FirmwareFileName.c_str());
  if (SameFile(outputName, programPath)) {
    ui_.ShowMessage(createFail + ": it is the running program file");
    return false;
  }
  if (SameFile(outputName, firmwarePath)) {
    ui_.ShowMessage(createFail + ": it is the firmware file");
    return false;
  }
  PendingOutput output;
  if (!output.Create(outputName)) {
    ui_.ShowMessage(createFail);
    return false;
  }

  // One pass over the program file up to and including the keyword: the search
  // pattern is the keyword of this very program, in memory.
  KeywordSearch search(package_.PackageKeyword);
  std::vector<char> block(kBlockSize);
  std::uint64_t consumed = 0;
  bool found = false;
  std::optional<std::uint64_t> checksumField;  // a Windows program's, in its headers at the start
  while (!found) {
    const std::size_t got = program.Read(block.data(), block.size());
    if (got == 0) break;
    if (consumed == 0) {
      checksumField =
          PeChecksum::FieldOffset(reinterpret_cast<const std::uint8_t*>(block.data()), got, programLength);
    }
    const std::size_t used = search.Take(block.data(), got);
    found = search.Found();
    advance(ProgressSteps(consumed, consumed + used - 1));
    consumed += used;
  }
  if (program.Failed()) {
    ui_.ShowMessage(someProblem);
    return false;
  }
  if (!found) {
    ui_.ShowMessage("Building fail: not found key-word in " + programName);
    return false;
  }
  const std::uint64_t recordStart = consumed;  // behind the keyword's last byte
  // The old record and as many bytes of the old image area as the new image has
  // are replaced; the program file has to hold them.
  const std::uint64_t restStart = recordStart + kModelRecordSize + imageLength;
  if (restStart > programLength) {
    ui_.ShowMessage(someProblem);
    return false;
  }

  std::array<std::uint8_t, kModelRecordSize> record{};  // text fields zero-filled after their terminator
  const std::size_t fieldOffsets[] = {
      InRecord(offsetof(FlashPackage, ModelName)), InRecord(offsetof(FlashPackage, InquiryId)),
      InRecord(offsetof(FlashPackage, FirmwareRange)), InRecord(offsetof(FlashPackage, VendorName)),
      InRecord(offsetof(FlashPackage, NoteText))};
  const auto model = static_cast<std::size_t>(k);
  for (std::size_t field = 0; field < std::size(fieldOffsets); ++field) {
    const std::string& text = (*texts[field])[model];
    std::memcpy(&record[fieldOffsets[field]], text.data(), std::min(text.size(), kTextFieldSize - 1));
  }
  const std::string firmwareName = ui_.UpperCase(FirmwareFileName);
  std::memcpy(&record[InRecord(offsetof(FlashPackage, FirmwareName))], firmwareName.data(),
              std::min(firmwareName.size(), kFirmwareNameSize));
  for (std::size_t i = 0; i < 4; ++i) {
    record[InRecord(offsetof(FlashPackage, ImageSize)) + i] = static_cast<std::uint8_t>(ImageSize >> (8 * i));
  }

  if (ImageBuffer.size() < imageLength) ImageBuffer.resize(imageLength);
  if (imageLength > 0 &&
      ReadBlock(firmware, reinterpret_cast<char*>(ImageBuffer.data()), imageLength) != imageLength) {
    ui_.ShowMessage("Read " + FirmwareFileName + " fail!");
    return false;
  }
  firmware.close();

  // The program writes the stamped region widened to whole blocks of the file
  // system; the template's bytes before and behind it are copied whole blocks at
  // a time, which a file system that shares extents can share.
  const std::uint64_t unit = output.BlockSize();
  const std::uint64_t regionStart = recordStart / unit * unit;
  const std::uint64_t regionEnd = std::min(programLength, (restStart + unit - 1) / unit * unit);
  const auto copied = [&](Copied result) {
    if (result == Copied::All) return true;
    ui_.ShowMessage(result == Copied::ReadFailed ? someProblem : writeFail);
    return false;
  };
  // Writes the template's bytes [from, to) of the region, fewer than a block.
  const auto regionPart = [&](std::uint64_t from, std::uint64_t to) {
    const auto size = static_cast<std::size_t>(to - from);
    if (!program.Seek(from) || program.Read(block.data(), size) != size) return copied(Copied::ReadFailed);
    if (!output.Write(block.data(), size)) return copied(Copied::WriteFailed);
    return true;
  };
  // A Windows program's headers, in front of the package, carry the checksum of
  // its bytes: the template's with the new record and image in their place.
  std::uint8_t checksumBytes[4] = {};
  const bool stampChecksum = checksumField && *checksumField + sizeof checksumBytes <= regionStart;
  if (stampChecksum) {
    PeChecksum checksum(*checksumField);
    if (!AddFromFile(program, checksum, 0, recordStart, block) ||
        !AddFromFile(program, checksum, restStart, programLength, block)) {
      return copied(Copied::ReadFailed);
    }
    checksum.Add(recordStart, record.data(), record.size());
    checksum.Add(recordStart + record.size(), ImageBuffer.data(), static_cast<std::size_t>(imageLength));
    const std::uint32_t value = checksum.Value(programLength);
    for (std::size_t i = 0; i < 4; ++i) checksumBytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  if (!program.Seek(0)) return copied(Copied::ReadFailed);
  std::uint64_t headStart = 0;  // where the template's bytes in front of the region resume
  if (stampChecksum) {
    if (!copied(output.CopyFrom(program, *checksumField, block))) return false;
    if (!output.Write(checksumBytes, sizeof checksumBytes)) return copied(Copied::WriteFailed);
    headStart = *checksumField + sizeof checksumBytes;
    if (!program.Seek(headStart)) return copied(Copied::ReadFailed);
  }
  if (!copied(output.CopyFrom(program, regionStart - headStart, block)) ||
      !regionPart(regionStart, recordStart)) {
    return false;
  }
  if (!output.Write(record.data(), record.size()) ||
      (imageLength > 0 && !output.Write(ImageBuffer.data(), imageLength))) {
    return copied(Copied::WriteFailed);
  }
  advance(imageLength / kProgressUnit);
  if (!regionPart(restStart, regionEnd)) return false;

  // The rest of the program file, unchanged, in parts that let the bar move.
  // Progress counts its positions from one before its start to two before the
  // file's end.
  std::uint64_t counted = restStart - 1;    // the first position not yet counted
  for (std::uint64_t done = regionEnd;;) {  // bytes before `done` are written
    advance(ProgressSteps(counted, done - 2));
    counted = done - 1;
    if (done == programLength) break;
    const std::uint64_t next = std::min(programLength, (done / kCopyPart + 1) * kCopyPart);
    if (!copied(output.CopyFrom(program, next - done, block))) return false;
    done = next;
  }

  output.TakeExecutePermissions(programPath);
  if (!output.Sync()) {
    ui_.ShowMessage(writeFail);
    return false;
  }
  if (!output.MoveTo(outputName)) {
    ui_.ShowMessage(createFail);
    return false;
  }

  ui_.SetGroupCaption(Format("Build %4.4s.EXE complete!", FirmwareFileName.c_str()));
  ui_.SetProgressPosition(0);
  return true;
}
