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
#include <climits>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "app/FlashForm.h"
#include "builder/Builder.h"
#include "builder/PeChecksum.h"
#include "common/System.h"
#include "common/Text.h"

namespace {

constexpr std::size_t kBlockSize = PendingOutput::kBlockSize;
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
