// Stamping a flash program: a copy of the program's own file in which the model
// record and the start of the image area behind the package keyword carry the
// chosen model and firmware image. Nothing else of the file changes.
//
// The copy is written to a new file beside the output and takes the output's
// name only once it is complete: a build that fails replaces nothing of the
// user's and leaves no partial program behind.
#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "app/FlashForm.h"
#include "builder/Builder.h"
#include "common/Text.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBlockSize = std::size_t{1} << 16;
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
  std::error_code error;
  if (path.empty() || !fs::is_regular_file(path, error)) return false;
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

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::equivalent(a, b, error) && !error;
}

// Opens a file for binary writing only when no file of that name exists. The C
// runtime the Windows programs link (msvcrt.dll) has no exclusive mode "x":
// Windows refuses the mode as invalid, so no program could ever be built, and
// Wine ignores it and opens an existing file. There the name is looked up first.
std::FILE* OpenNewFile(const std::string& path) {
#if defined(_WIN32)
  std::error_code error;
  if (fs::symlink_status(path, error).type() != fs::file_type::not_found) return nullptr;
  return std::fopen(path.c_str(), "wb");
#else
  return std::fopen(path.c_str(), "wbx");
#endif
}

// The new program while it is being written: a file of its own beside the
// output, removed unless it is given the output's name.
class PendingOutput {
 public:
  PendingOutput() = default;
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  ~PendingOutput() { Discard(); }

  // Creates a file whose name no existing file has ("<output>.building", then
  // numbered), so no file of the user's is ever opened for writing.
  bool Create(const std::string& output) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string candidate = output + (attempt == 0 ? ".building" : Format(".building%d", attempt));
      file_ = OpenNewFile(candidate);
      if (file_ != nullptr) {
        path_ = candidate;
        std::setvbuf(file_, nullptr, _IOFBF, kBlockSize);
        return true;
      }
      std::error_code error;
      if (!fs::exists(candidate, error)) return false;  // the directory takes no new file
    }
    return false;
  }

  bool Write(const void* data, std::size_t size) {
    good_ = good_ && std::fwrite(data, 1, size, file_) == size;
    return good_;
  }

  // Closes the file; true when every byte written reached it.
  bool Close() {
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    good_ = good_ && closed;
    return good_;
  }

  // Gives the closed file the output's name, replacing a file of that name.
  bool MoveTo(const std::string& output) {
    std::error_code error;
    fs::rename(path_, output, error);
    if (error) return false;
    path_.clear();
    return true;
  }

  const std::string& Path() const { return path_; }

 private:
  void Discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!path_.empty()) {
      std::error_code error;
      fs::remove(path_, error);
    }
  }

  std::FILE* file_ = nullptr;
  std::string path_;
  bool good_ = true;
};

}  // namespace

void TFlashForm::BuildFlashProgram() {
  ui_.SetCursor(CursorShape::Hourglass);
  NewBuildFlashProgram();  // it reports its own outcome
  ui_.SetCursor(CursorShape::Default);
}

bool TFlashForm::NewBuildFlashProgram() {
  ui_.SetGroupCaption("Building " + FirmwareFileName + "  Please wait... ");
  const std::string programName = fs::path(ui_.ProgramStartedPath()).filename().string();
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

  const std::string firmwarePath = ui_.FileListCurrentFile();
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
  std::ifstream program;
  std::uint64_t programLength = 0;
  if (!OpenForReading(programPath, program, programLength)) {
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
  while (!found) {
    const std::size_t got = ReadBlock(program, block.data(), block.size());
    if (got == 0) break;
    const std::size_t used = search.Take(block.data(), got);
    found = search.Found();
    if (!output.Write(block.data(), used)) {
      ui_.ShowMessage(writeFail);
      return false;
    }
    advance(ProgressSteps(consumed, consumed + used - 1));
    consumed += used;
  }
  if (program.bad()) {
    ui_.ShowMessage(someProblem);
    return false;
  }
  if (!found) {
    ui_.ShowMessage("Building fail: not found key-word in " + programName);
    return false;
  }
  const std::uint64_t keywordEnd = consumed - 1;
  // The old record and as many bytes of the old image area as the new image has
  // are replaced; the program file has to hold them.
  const std::uint64_t restStart = keywordEnd + 1 + kModelRecordSize + imageLength;
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
  if (!output.Write(record.data(), record.size()) ||
      (imageLength > 0 && !output.Write(ImageBuffer.data(), imageLength))) {
    ui_.ShowMessage(writeFail);
    return false;
  }
  advance(imageLength / kProgressUnit);

  // The rest of the program file behind the replaced bytes, unchanged.
  program.clear();
  program.seekg(static_cast<std::streamoff>(restStart));
  for (std::uint64_t left = programLength - restStart; left > 0;) {
    const std::size_t got = ReadBlock(program, block.data(), std::min<std::uint64_t>(left, block.size()));
    if (got == 0) {
      ui_.ShowMessage(someProblem);
      return false;
    }
    if (!output.Write(block.data(), got)) {
      ui_.ShowMessage(writeFail);
      return false;
    }
    left -= got;
  }
  advance(ProgressSteps(restStart - 1, programLength - 2));
  program.close();
  firmware.close();

  if (!output.Close()) {
    ui_.ShowMessage(writeFail);
    return false;
  }
  // The new program can be started like the template: it takes the template's
  // execute permissions. A file system without them refuses; the program is built
  // all the same.
  constexpr fs::perms kExecute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  std::error_code permissionError;
  const fs::file_status templateStatus = fs::status(programPath, permissionError);
  if (!permissionError) {
    fs::permissions(output.Path(), templateStatus.permissions() & kExecute, fs::perm_options::add,
                    permissionError);
  }
  if (!output.MoveTo(outputName)) {
    ui_.ShowMessage(createFail);
    return false;
  }

  ui_.SetGroupCaption(Format("Build %4.4s.EXE complete!", FirmwareFileName.c_str()));
  ui_.SetProgressPosition(0);
  return true;
}
