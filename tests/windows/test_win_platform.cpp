// The platform choice by GetVersionExA, the drive units on top of the Windows
// transport, the INI reader (GetPrivateProfileStringA), the file search, and the
// runtime's file status (answered by the 32-bit programs themselves).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/FlashForm.h"
#include "common/System.h"
#include "device/Cddrive.h"
#include "device/Cddrives.h"
#include "platform/windows/Platform.h"
#include "platform/windows/WindowsTransport.h"
#include "tests/UpdateRig.h"
#include "tests/windows/WinSupport.h"

namespace fs = std::filesystem;

namespace {

class Messages : public MessageSink {
 public:
  std::vector<std::string> Plain, Errors;
  void ShowMessage(const std::string& text) override { Plain.push_back(text); }
  void ShowErrorMessage(const std::string& text) override { Errors.push_back(text); }
};

struct PlatformCase {
  const char* name;
  DWORD platformId;
  bool passThrough;
};

const PlatformCase kPlatforms[] = {
    {"NT: pass-through", VER_PLATFORM_WIN32_NT, true},
    {"Windows 95/98/Me: ASPI", VER_PLATFORM_WIN32_WINDOWS, false},
    {"Win32s: ASPI", VER_PLATFORM_WIN32s, false},
    {"any other id: ASPI", 3, false},
};

TEST(PlatformChoice, VersionDecidesAtEverySetupAndEnumeration) {
  for (const PlatformCase& c : kPlatforms) {
    SCOPED_TRACE(c.name);
    SystemStandIns standIns;
    Fake().PlatformId = c.platformId;
    Messages sink;
    WindowsTransport transport;
    EXPECT_EQ(transport.Setup(sink), dsOk);
    EXPECT_EQ(transport.UsesPassThrough(), c.passThrough);
    EXPECT_EQ(transport.OpensDevices(), c.passThrough);
    EXPECT_EQ(Fake().Loads.size(), c.passThrough ? 0u : 1u);  // only ASPI loads a layer
    EXPECT_EQ(Fake().VersionSizes, std::vector<DWORD>{148});

    // Asked again, the system's answer counts afresh.
    Fake().PlatformId = c.passThrough ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT;
    EXPECT_EQ(transport.Enumerate().size(), c.passThrough ? 40u : 0u);
    EXPECT_EQ(transport.UsesPassThrough(), !c.passThrough);
  }
}

// The drive units over the Windows transport, with the system stood in for.
struct WindowsUnit {
  SystemStandIns standIns;
  Messages sink;
  WindowsTransport transport;
  WindowsUnit() {
    Cddrive::ResetUnit();
    Cddrive::InstallTransport(&transport);
    Cddrive::SetMessageSink(&sink);
  }
  ~WindowsUnit() {
    Cddrive::SetMessageSink(nullptr);
    Cddrive::InstallTransport(nullptr);
    Cddrive::ResetUnit();
  }
};

TEST(PlatformChoice, TheUnitRecordsTheTransportTheSetupChose) {
  const struct {
    const char* name;
    DWORD platformId;
    bool layerLoads;
    bool useSpti;
  } cases[] = {
      {"NT", VER_PLATFORM_WIN32_NT, true, true},
      {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, true, false},
      {"Windows 98 without the layer", VER_PLATFORM_WIN32_WINDOWS, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WindowsUnit unit;
    Fake().PlatformId = c.platformId;
    Fake().LibraryLoads = c.layerLoads;
    { TCdDrive drive('D', 0, 0, 0); }
    EXPECT_EQ(Cddrive::Unit().UseSpti, c.useSpti);
  }
}

// DLLs loaded by name come from the system folder alone, where the system has the call.
TEST(PlatformChoice, DllSearchLimitedToTheSystemFolderWhereTheCallExists) {
  for (const bool present : {true, false}) {
    SystemStandIns standIns;
    Fake().HasDefaultDllDirectories = present;
    HardenDllSearch(System());
    EXPECT_EQ(Fake().Calls, std::vector<std::string>(present, "dll-search 2048"));
  }
}

void PutInquiry(void* buffer, const char* identification) {
  auto* data = static_cast<std::uint8_t*>(buffer);
  std::memset(data, 0, 36);
  data[0] = 0x05;
  std::memcpy(data + 8, identification, 28);
}

TEST(PassThroughDrives, CdromLettersOpenedByNameAndIdentified) {
  WindowsUnit unit;
  Fake().Roots = std::string("C:\\\0D:\\\0E:\\\0F:\\\0G:\\\0", 21);
  Fake().DriveTypes = {{'D', DRIVE_CDROM}, {'E', DRIVE_CDROM}, {'F', DRIVE_CDROM}, {'G', DRIVE_CDROM}};
  Fake().OpenErrors["\\\\.\\E:"] = ERROR_ACCESS_DENIED;
  Fake().MutexesHeldElsewhere = {"Global\\flashutil-drive-G"};  // another copy updates G:
  Fake().FormatText = "Access is denied.\r\n";
  Fake().Device = [](PassThroughBlock& block) {
    const bool isD = Fake().Ioctls.back().Device == FakeHandle(0x101);  // the first open
    PutInquiry(block.Record.DataBuffer,
               isD ? "QVXR    CRW-5224A       1000" : "QVXR    DVD-ROM 16X     0103");
    return TRUE;
  };
  {
    TCdDrives drives;
    ASSERT_EQ(drives.Count(), 2);
    EXPECT_EQ(drives.Current->DriveText, "0-0-0 D: QVXR    CRW-5224A       1000");
    ASSERT_TRUE(drives.Select(1));
    EXPECT_EQ(drives.Current->DriveText, "0-0-0 F: QVXR    DVD-ROM 16X     0103");
    EXPECT_EQ(Cddrive::Unit().OpenCount, 2);
  }
  // The failed open between the two shows both messages; from then on failures
  // show. A drive another copy updates is not opened, and the user is told so
  // (the stand-ins have one system text for every error).
  EXPECT_EQ(unit.sink.Plain, (std::vector<std::string>{
                                 "Error opening: 5, Drive: \\\\.\\E:",
                                 "SenseCode: 00 00 00, 00, Error: 5, Access is denied.\r\n",
                                 "Error opening: 170, Drive: \\\\.\\G:",
                                 "SenseCode: 00 00 00, 00, Error: 170, Access is denied.\r\n",
                                 "Drive G: is in use by another program, or by another copy of this one. "
                                 "Nothing was sent to it; try again when that program has finished.",
                             }));
  EXPECT_EQ(Fake().Opens.size(), 3u);  // not G:
  EXPECT_EQ(Fake().Ioctls.size(), 2u);
  EXPECT_TRUE(Cddrive::Unit().ShowErrors);
  EXPECT_EQ(Fake().Closed.size(), 2u);  // both handles, when the list went
  EXPECT_EQ(Cddrive::Unit().OpenCount, 0);
}

TEST(PassThroughDrives, TheUnitsBuffersMeetTheAdaptersAlignment) {
  // ATAPI and AHCI adapters ask for word alignment or more; a drive whose
  // INQUIRY goes to a buffer they refuse is never listed.
  for (const ULONG_PTR mask : {ULONG_PTR{1}, ULONG_PTR{3}, ULONG_PTR{7}, ULONG_PTR{15}}) {
    SCOPED_TRACE(mask);
    WindowsUnit unit;
    Fake().AlignmentMask = mask;
    Fake().Roots = std::string("D:\\\0\0", 5);
    Fake().DriveTypes = {{'D', DRIVE_CDROM}};
    Fake().Device = [](PassThroughBlock& block) {
      PutInquiry(block.Record.DataBuffer, "QVXR    CRW-5224A       1000");
      return TRUE;
    };
    TCdDrives drives;
    ASSERT_EQ(drives.Count(), 1);  // INQUIRY into the unit's inquiry buffer
    drives.Current->SetBuffer(nullptr, 0);
    EXPECT_TRUE(drives.Current->ExecuteCommand(0x3C, 0x02, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 1, 64))
        << "the default buffer was refused";
  }
}

TEST(AspiDrives, BusAddressesThatAnswerInOrderOfAdapterThenTarget) {
  WindowsUnit unit;
  Fake().PlatformId = VER_PLATFORM_WIN32_WINDOWS;
  Fake().Layer = [](SRB_ExecSCSICmd& srb) {
    const bool present =
        (srb.SRB_HaId == 1 && srb.SRB_Target == 0) || (srb.SRB_HaId == 0 && srb.SRB_Target == 1);
    if (!present) {
      srb.SRB_Status = 0x82;  // SS_NO_DEVICE
      return;
    }
    PutInquiry(srb.SRB_BufPointer,
               srb.SRB_HaId == 0 ? "QVXR    CRW-5224A       1000" : "QVXR    DVD-ROM 16X     0103");
    srb.SRB_Status = SS_COMP;
  };
  {
    TCdDrives drives;
    ASSERT_EQ(drives.Count(), 2);
    EXPECT_EQ(drives.Current->DriveText, "0-1-0  : QVXR    CRW-5224A       1000");
    ASSERT_TRUE(drives.Select(1));
    EXPECT_EQ(drives.Current->DriveText, "1-0-0  : QVXR    DVD-ROM 16X     0103");
    EXPECT_EQ(Fake().AspiCalls.size(), 40u);  // every address probed once
    EXPECT_EQ(Fake().Opens.size(), 0u);       // nothing is opened under ASPI
    // The layer is set up again until the first drive answers, then kept.
    EXPECT_EQ(Fake().Loads.size(), 2u);
  }
  EXPECT_TRUE(unit.sink.Plain.empty());
  EXPECT_TRUE(unit.sink.Errors.empty());
  EXPECT_EQ(Fake().EventsCreated, 40);
  EXPECT_EQ(Fake().Closed.size(), 40u);
}

// The stand-ins' calls joined by blanks, a run of pass-through requests as one.
std::string JoinedCalls() {
  std::string joined;
  for (const std::string& call : Fake().Calls) {
    if (call != "command" || joined.size() < 7 || joined.compare(joined.size() - 7, 7, "command") != 0)
      joined += (joined.empty() ? "" : " ") + call;
  }
  return joined;
}

TEST(AspiDrives, ADriveAnotherCopyUpdatesGetsNoCommandAndAClaimTakesTheMutexAlone) {
  WindowsUnit unit;
  Fake().PlatformId = VER_PLATFORM_WIN32_WINDOWS;  // every address answers
  Fake().MutexesHeldElsewhere = {"flashutil-drive-1-0-0"};
  TCdDrives drives;
  ASSERT_EQ(drives.Count(), 24);  // a full list, without 1-0-0, which got no command
  for (const AspiCall& call : Fake().AspiCalls)
    EXPECT_FALSE(call.Sent.SRB_HaId == 1 && call.Sent.SRB_Target == 0);
  Fake().Calls.clear();
  std::string reason;
  ASSERT_TRUE(drives.Current->Claim(reason));
  drives.Current->Release();
  EXPECT_EQ(JoinedCalls(), "mutex flashutil-drive-0-0-0 wait 250 release close");  // no "Global\" on 98
}

// The simulated drive answers the pass-through requests.
BOOL PassToSimulatedDrive(SimulatedDrive& drive, PassThroughBlock& block) {
  SCSI_PASS_THROUGH_DIRECT& record = block.Record;
  CommandRequest request;
  std::memcpy(request.Cdb, record.Cdb, sizeof request.Cdb);
  request.DataIn = record.DataIn == SCSI_IOCTL_DATA_IN;
  request.Length = record.DataTransferLength;
  request.Data = static_cast<std::uint8_t*>(record.DataBuffer);
  const CommandResult result = drive.Execute(request);
  record.ScsiStatus = result.ScsiStatus;
  std::memcpy(block.Sense, result.Sense, result.SenseLength);
  return result.Completed;
}

// An update of D: through the window, over the Windows transport and the
// Windows system guard: what it asks of the system goes to the stand-ins, the
// drive's commands to a simulated drive.
struct PassThroughUpdate {
  WindowsUnit Unit;
  SimulatedDrive Drive{SimDriveConfig{}};
  std::unique_ptr<SystemGuard> Guard = MakeWindowsSystemGuard();
  std::unique_ptr<FormFixture> F;
  PassThroughUpdate() {
    Fake().Roots = std::string("D:\\\0", 5);
    Fake().DriveTypes = {{'D', DRIVE_CDROM}};
    Fake().Device = [this](PassThroughBlock& block) { return PassToSimulatedDrive(Drive, block); };
    InstallSystemGuard(Guard.get());
    F = std::make_unique<FormFixture>(SchemePackage(16384, Scheme::None));
    F->Ui.Answers = {DialogResult::Yes};
    F->Create();
    Fake().Calls.clear();
    Drive.ClearLog();
  }
  ~PassThroughUpdate() {
    F.reset();
    InstallSystemGuard(nullptr);
  }
};

TEST(PassThroughUpdate, TheDriveTakenAndTheMachineKeptAwakeAroundTheCommandsOrNothingSent) {
  const std::string take = "mutex Global\\flashutil-drive-D wait 250 lock";
  const std::string update = take + " exclusive awake command may-sleep unexclusive unlock release close";
  const struct {
    const char* name;
    BYTE line, flag, charge;  // the power status
    DWORD request, error;     // a request other than a command the system refuses
    bool copyUpdates;         // another copy owns D:'s mutex
    std::string calls;
    const char* box;  // in the error box; "" when the update ran
  } cases[] = {
      {"mains", 1, 0, 255, 0, 0, false, update, ""},
      {"battery at 25 %", 0, 2, 25, 0, 0, false, update, ""},
      {"battery at 24 %", 0, 2, 24, 0, 0, false, "", "on its battery, which is at 24 %."},
      {"line and charge unknown", 255, 255, 255, 0, 0, false, update, ""},
      {"no system battery", 0, 128, 5, 0, 0, false, update, ""},
      {"another copy updates D:", 1, 0, 255, 0, 0, true, "mutex Global\\flashutil-drive-D wait 250 close",
       "in use by another program (another copy of this program is updating it)."},
      {"files open on the disc", 1, 0, 255, FSCTL_LOCK_VOLUME, ERROR_ACCESS_DENIED, false,
       take + " release close", "in use by another program (Access is denied)."},
      {"another program has the drive to itself", 1, 0, 255, kCdromExclusiveAccess, ERROR_SHARING_VIOLATION,
       false, take + " exclusive unlock release close", "in use by another program (Access is denied)."},
      {"no exclusive access before Vista", 1, 0, 255, kCdromExclusiveAccess, ERROR_INVALID_FUNCTION, false,
       take + " exclusive awake command may-sleep unlock release close", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PassThroughUpdate u;
    Fake().Power = {c.line, c.flag, c.charge, 0, 0, 0};
    Fake().ControlErrors[c.request] = c.error;
    if (c.copyUpdates) Fake().MutexesHeldElsewhere = {"Global\\flashutil-drive-D"};
    Fake().FormatText = "Access is denied.\r\n";
    u.F->Ui.Answers = {DialogResult::Yes};
    u.F->Ui.UserPressesButton();
    EXPECT_EQ(JoinedCalls(), c.calls);
    const auto& box = u.F->Ui.Dialogs.back();
    EXPECT_NE((box.Kind == DialogKind::Error ? box.Text : "").find(c.box), std::string::npos) << box.Text;
    EXPECT_EQ(u.Drive.Commits(), *c.box == '\0' ? 1 : 0);
    EXPECT_EQ(u.Drive.Log().empty(), *c.box != '\0');  // nothing sent
  }
}

// A scratch directory, removed afterwards.
struct Scratch {
  fs::path Dir;
  explicit Scratch(const char* name) : Dir(fs::temp_directory_path() / name) {
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::current_path(fs::temp_directory_path(), ignored);
    fs::remove_all(Dir, ignored);
  }
  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(Dir / name, std::ios::binary) << content;
  }
};

TEST(ProfileReader, ValuesAsTheSystemReadsThem) {
  Scratch scratch("flashutil-ini");
  scratch.Write("models.ini",
                "; the models\r\n"
                "[MODEL00]\r\n"
                "Model = CRW-5224A  \r\n"
                "Inquiry=\"QVXR    CRW-5224A\"\r\n"
                "Empty=\r\n"
                "Note=FLASH-ALL and more\r\n"
                "[model01]\r\n"
                "model=lower case section\r\n"
                "Long=" +
                    std::string(1000, 'x') + "\r\n");
  auto reader = MakeIniReader();
  ASSERT_TRUE(reader->Open((scratch.Dir / "models.ini").string()));
  const struct {
    const char* section;
    const char* key;
    std::string want;
  } cases[] = {
      {"MODEL00", "Model", "CRW-5224A"},            // blanks around the value dropped
      {"MODEL00", "Inquiry", "QVXR    CRW-5224A"},  // quotation marks taken off, inner blanks kept
      {"MODEL00", "Empty", ""},                     // present, empty
      {"MODEL00", "Absent", "FAIL"},                // absent: the default
      {"MODEL00", "Note", "FLASH-ALL and more"},    //
      {"model00", "MODEL", "CRW-5224A"},            // names match without regard to case
      {"MODEL01", "Model", "lower case section"},   //
      {"MODEL01", "Long", std::string(1000, 'x')},  // longer than the first buffer
      {"MODEL02", "Model", "FAIL"},                 // no such section
      {"MODEL00", "; the models", "FAIL"},          // a comment is no key
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(reader->ReadString(c.section, c.key, "FAIL"), c.want);
  }
  reader->Close();
}

TEST(ProfileReader, OpensOnlyAFileAndFindsARelativeName) {
  Scratch scratch("flashutil-ini-open");
  scratch.Write("FLASH.INI", "[MODEL00]\r\nModel=M\r\n");
  fs::create_directories(scratch.Dir / "folder.ini");
  auto reader = MakeIniReader();
  EXPECT_FALSE(reader->Open((scratch.Dir / "MISSING.INI").string()));
  EXPECT_FALSE(reader->Open((scratch.Dir / "folder.ini").string()));
  fs::current_path(scratch.Dir);
  // The system reads a bare name from the Windows directory; the reader must not.
  ASSERT_TRUE(reader->Open("FLASH.INI"));
  EXPECT_EQ(reader->ReadString("MODEL00", "Model", "FAIL"), "M");
}

TEST(FileSearch, MasksMatchLongNamesWithoutRegardToCase) {
  Scratch scratch("flashutil-files");
  for (const char* name : {"A.BIN", "b.bin", "C.Bin", "d.txt", "E.BINX", "noext", "F.BIN.BAK", "AB.BIN"}) {
    scratch.Write(name, "x");
  }
  fs::create_directories(scratch.Dir / "sub.bin");
  const std::string dir = scratch.Dir.string();
  const struct {
    const char* mask;
    std::vector<std::string> want;
  } cases[] = {
      {"*.BIN", {"A.BIN", "AB.BIN", "b.bin", "C.Bin"}},
      {"*.bin", {"A.BIN", "AB.BIN", "b.bin", "C.Bin"}},
      {"?.BIN", {"A.BIN", "b.bin", "C.Bin"}},
      {"*.BIN;*.TXT", {"A.BIN", "AB.BIN", "b.bin", "C.Bin", "d.txt"}},
      {"*.BIN;*.bin", {"A.BIN", "AB.BIN", "b.bin", "C.Bin"}},  // each file once
      {"*.*", {"A.BIN", "AB.BIN", "b.bin", "C.Bin", "d.txt", "E.BINX", "F.BIN.BAK", "noext"}},
      {"X*.BIN", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    EXPECT_EQ(ListMatchingFiles(dir, c.mask), c.want);
  }
  EXPECT_EQ(ListMatchingFiles(dir + "\\", "?.BIN").size(), 3u);  // a directory given with its backslash
  EXPECT_TRUE(ListMatchingFiles(dir + "\\missing", "*.*").empty());
}

TEST(FileSearch, ChangingDirectory) {
  Scratch scratch("flashutil-chdir");
  ASSERT_TRUE(ChangeCurrentDirectory(scratch.Dir.string()));
  EXPECT_TRUE(fs::equivalent(fs::current_path(), scratch.Dir));
  EXPECT_FALSE(ChangeCurrentDirectory((scratch.Dir / "missing").string()));
  EXPECT_FALSE(ChangeCurrentDirectory(""));
  EXPECT_TRUE(fs::equivalent(fs::current_path(), scratch.Dir));
}

// The C runtime's status of an open file, which libstdc++'s file streams ask for.
// The 32-bit programs answer it themselves from the handle's size (Windows 98
// lacks _fstat64): a size whose low half is all ones is a size, even when an
// earlier call left an error behind, and a size past 4 GiB keeps its high half.
TEST(FileStatus, SizesAroundTheLowHalfBeingAllOnes) {
  Scratch scratch("flashutil-fstat");
  const std::string path = (scratch.Dir / "sparse.bin").string();
  for (const unsigned long long size : {0xFFFFFFFEull, 0xFFFFFFFFull, 0x100000000ull, 0x1FFFFFFFFull}) {
    SCOPED_TRACE(size);
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LONG high = static_cast<LONG>(size >> 32);
    SetFilePointer(file, static_cast<LONG>(size & 0xFFFFFFFFu), &high, FILE_BEGIN);
    ASSERT_TRUE(SetEndOfFile(file));  // sparse where the file system can
    CloseHandle(file);

    const int descriptor = _open(path.c_str(), _O_RDONLY | _O_BINARY);
    ASSERT_GE(descriptor, 0);
    struct _stat64 status = {};
    SetLastError(ERROR_ACCESS_DENIED);  // what an earlier call may leave behind
    EXPECT_EQ(_fstat64(descriptor, &status), 0);
    EXPECT_EQ(static_cast<unsigned long long>(status.st_size), size);
    EXPECT_TRUE((status.st_mode & _S_IFMT) == _S_IFREG);
    _close(descriptor);
  }
  struct _stat64 status = {};
  EXPECT_EQ(_fstat64(-1, &status), -1);
}

}  // namespace
