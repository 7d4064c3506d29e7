// TFlashForm: the one window. Every operation of the application is one of its
// methods, and all run-time state lives in its fields. It reaches its controls
// and dialogs only through the Toolkit, and the drives only through Cddrive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/FileList.h"
#include "app/FlashPackage.h"
#include "app/Toolkit.h"
#include "common/IniReader.h"
#include "device/Cddrives.h"

// " Flash Utility V1.050 ": the text the window captions are built from.
extern const std::string CaptionText;
extern const char* const ApplicationTitle;  // "Windows Flash utility"

class TFlashForm;
extern TFlashForm* FlashForm;

// The package names no firmware range: its first and sixth characters are "-".
bool PackageNamesNoFirmwareRange(const FlashPackage& package);
// The package admits every drive model: its InquiryId starts with "--".
bool PackageAdmitsAnyModel(const FlashPackage& package);

// The eligibility check on a drive's identification (24 characters) and revision
// (4 characters), against the texts a flash program forms from its package.
struct DriveAdmission {
  std::string InquiryText;  // "%-24.24s" of InquiryId
  std::string RangeLow;     // the bounds, 4 characters each
  std::string RangeHigh;
  bool AnyModel = false;
  bool NoRange = false;

  static DriveAdmission ForPackage(const FlashPackage& package);
  bool Admits(const std::string& identification, const std::string& revision) const;
};

class TFlashForm {
 public:
  static constexpr std::uint32_t kTransferSize = 16384;
  static constexpr int kDriveIndexSize = 20;

  TFlashForm(Toolkit& ui, const FlashPackage& package, IniReaderFactory iniReaders);
  ~TFlashForm();
  TFlashForm(const TFlashForm&) = delete;
  TFlashForm& operator=(const TFlashForm&) = delete;

  // Published operations.
  void FormCreate();
  void FormDestroy();
  bool WriteBuffer(std::int32_t Offset, const std::uint8_t* Data, std::int32_t Length, std::uint8_t Control);
  bool ReadBuffer(std::int32_t Offset, std::uint8_t* Destination, std::int32_t Length);
  bool SetupFlashProfile(std::uint8_t* Block);
  bool ReadVerifyProfile(const std::uint8_t* Block);
  bool EntryCritical();
  bool RetriveINI();
  bool NewBuildFlashProgram();
  void FileListBox1Click();
  // The user chose a row of FileListBox1 (-1: a click beside the names); the
  // choice is kept and FileListBox1Click runs.
  void FileListChosen(int index);
  void FlashButtonClick();
  void ComboBoxChange();
  void CheckNewFormatBIN();
  bool CheckCondition();

  // The package names no firmware range: its first and sixth characters are "-".
  bool NamesNoFirmwareRange() const;
  // The package admits every drive model: its InquiryId starts with "--".
  bool AdmitsAnyModel() const;
  const FlashPackage& Package() const { return package_; }
  Toolkit& Ui() { return ui_; }

  // Fields.
  FileList FileListBox1;
  std::unique_ptr<std::vector<std::string>> ModelList, InquiryList, FwRangeList, BinMaskList, VendorList,
      NoteList;
  std::string VendorText;
  std::string ModelText;
  std::string RangeText;
  std::string RangeLow;
  std::string RangeHigh;
  std::string InquiryText;
  std::string FirmwareFileName;
  bool TemplateMode = false;
  bool NewFormat1100 = false;
  bool NewFormatNamed = false;
  bool ProfileFound = false;
  bool NewFormatDvdRom = false;
  bool FlashAll = false;
  std::uint32_t ImageSize = 0;
  std::int32_t ProfileLength = 0;
  std::int32_t ProfileOffset = 0;
  std::int32_t ProfileHeaderLength = 0;
  std::int32_t DriveIndex[kDriveIndexSize] = {};
  std::string StartDir;
  TCdDrive* Drive = nullptr;
  std::uint8_t Cdb[12] = {};
  std::unique_ptr<TCdDrives> Drives;
  std::uint8_t* TransferBuffer = nullptr;
  std::vector<std::uint8_t> ProfileCopy;  // empty until first used
  std::vector<std::uint8_t> ImageBuffer;  // empty until first used
  std::unique_ptr<std::uint8_t[]> ChunkBuffer;

  // How the latest update (FlashButtonClick in a flash program) ended, for the
  // unattended update's report; its words are those its dialogs showed.
  enum class UpdateOutcome { NotRun, Declined, Refused, Failed, Updated };
  UpdateOutcome LastUpdate = UpdateOutcome::NotRun;
  std::string LastUpdateStep;  // Failed: the stage, as its caption names it

 private:
  // Continuations of FormCreate.
  void BuilderStartUp();
  void FlasherTexts();
  bool FlasherWarning();
  void BuildDriveList();
  void EndProgram();
  // The update (flasher branch of FlashButtonClick) and the stamping (template branch).
  void UpdateFirmware();
  // The stages of a confirmed update after the drive is prepared; line is the
  // ComboBox line of the drive, refreshed after a commit.
  void LoadVerifyCommit(int line);
  // Sends Cdb to Drive with TransferBuffer as its data; true only when the transport
  // completed it and the drive reports sense 00 00 00. A failure shows the tag
  // followed by the drive's sense text. WholeReply: a read back whose every byte
  // is compared, so a reply the system says came short fails.
  bool SendVendorCommand(const char* tag, std::uint8_t DataIn, std::uint32_t Length, bool WholeReply = false);
  void BuildFlashProgram();
  void ComboBoxChangeFlasher();
  void ComboBoxChangeBuilder();

  // The drive units' messages go to the window's dialogs, and their commands wait
  // where the window stays alive.
  class Messages : public MessageSink, public CommandRunner {
   public:
    explicit Messages(Toolkit& ui) : ui_(ui) {}
    void ShowMessage(const std::string& text) override;
    void ShowErrorMessage(const std::string& text) override;
    void Run(void (*step)(void*), void* context) override;

   private:
    Toolkit& ui_;
  };

  Toolkit& ui_;
  const FlashPackage& package_;
  IniReaderFactory iniReaders_;
  Messages messages_;
  std::unique_ptr<std::uint8_t[]> transferStorage_;
};

// The entry point's body: title, window, FormCreate, message loop, FormDestroy.
// Returns the program's exit code (0).
int RunApplication(Toolkit& ui, const FlashPackage& package, IniReaderFactory iniReaders);
