// The drive units on a small scripted transport: sense judgement, the display
// line and its readers, the error messages, construction and destruction, and
// the drive list's enumeration and bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Text.h"
#include "device/Cddrives.h"
#include "tests/ResultContract.h"

namespace {

CommandResult Good() {
  return CommandResult::WithStatus(0x00);
}
CommandResult Check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  CommandResult result = CommandResult::WithStatus(0x02);
  const std::vector<std::uint8_t> sense = FixedSense(key, asc, ascq);
  result.SetSense(sense.data(), sense.size());
  return result;
}
CommandResult Failed(std::uint32_t error) {
  return CommandResult::Failed(error);
}

// One drive behind the scripted transport.
struct FakeDrive {
  std::string Locator;
  std::vector<std::uint8_t> Inquiry;  // what INQUIRY answers; empty: it fails
  bool OpenFails = false;
  std::uint8_t Letter = 'E';
  std::uint8_t HaId = 0, Target = 0;
};

// INQUIRY data: 8 header bytes, then vendor, product and revision as given.
std::vector<std::uint8_t> InquiryData(const std::string& identification, std::size_t length = 36) {
  std::vector<std::uint8_t> data(length, 0);
  data[0] = 0x05;
  for (std::size_t i = 0; i < identification.size() && 8 + i < length; ++i) {
    data[8 + i] = static_cast<std::uint8_t>(identification[i]);
  }
  return data;
}

class FakeTransport : public Transport {
 public:
  struct Sent {
    std::vector<std::uint8_t> Cdb;
    bool DataIn;
    std::uint32_t Length;
    std::uint8_t* Data;
    std::uint16_t Timeout;
    DeviceHandle Handle;
  };

  std::vector<FakeDrive> Drives;
  bool Opens = true;
  std::uint8_t SetupStatus = dsOk;
  std::map<std::uint32_t, std::string> Texts = {{2, "No such file\r\n"}, {5, "I/O error"}};
  std::deque<CommandResult> Results;  // for every command but INQUIRY; empty: success

  int Setups = 0;
  int Releases = 0;
  std::vector<std::string> Opened;
  std::vector<DeviceHandle> Closed;
  std::vector<Sent> Log;

  std::uint8_t Setup(MessageSink&) override {
    ++Setups;
    return SetupStatus;
  }
  bool OpensDevices() const override { return Opens; }
  void ReleaseLayer() override { ++Releases; }

  std::vector<DriveAddress> Enumerate() override {
    std::vector<DriveAddress> list;
    for (const FakeDrive& d : Drives) {
      list.push_back({static_cast<char>(d.Letter), d.HaId, d.Target, 0, d.Locator});
    }
    return list;
  }

  OpenResult Open(const DriveAddress& address) override {
    Opened.push_back(address.Locator);
    const FakeDrive& d = Find(address);
    if (d.OpenFails) return {kNoDevice, 2, "/dev/" + d.Locator};
    return {static_cast<DeviceHandle>(Index(address) + 100), 0, "/dev/" + d.Locator};
  }
  void Close(DeviceHandle handle) override { Closed.push_back(handle); }

  CommandResult Execute(DeviceHandle handle, const DriveAddress& address,
                        const CommandRequest& request) override {
    Log.push_back({std::vector<std::uint8_t>(request.Cdb, request.Cdb + 12), request.DataIn, request.Length,
                   request.Data, request.TimeoutSeconds, handle});
    if (request.Cdb[0] == 0x12) {
      const FakeDrive& d = Find(address);
      if (d.Inquiry.empty()) return Check(0x05, 0x24, 0x00);
      std::memcpy(request.Data, d.Inquiry.data(), std::min<std::size_t>(d.Inquiry.size(), request.Length));
      return Good();
    }
    if (Results.empty()) return Good();
    CommandResult r = Results.front();
    Results.pop_front();
    return r;
  }

  std::string ErrorText(std::uint32_t error) override {
    auto found = Texts.find(error);
    return found == Texts.end() ? std::string() : found->second;
  }
  std::uint32_t DeviceError() const override { return 5; }

 private:
  std::size_t Index(const DriveAddress& address) const {
    for (std::size_t i = 0; i < Drives.size(); ++i) {
      if (Drives[i].Locator == address.Locator) return i;
    }
    throw std::logic_error("unknown drive " + address.Locator);
  }
  const FakeDrive& Find(const DriveAddress& address) const { return Drives[Index(address)]; }
};

class RecordingSink : public MessageSink {
 public:
  std::vector<std::string> Messages;
  std::vector<std::string> Errors;
  void ShowMessage(const std::string& text) override { Messages.push_back(text); }
  void ShowErrorMessage(const std::string& text) override { Errors.push_back(text); }
};

class DriveUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    Cddrive::ResetUnit();
    Cddrive::InstallTransport(&transport);
    Cddrive::SetMessageSink(&sink);
  }
  void TearDown() override {
    Cddrive::InstallTransport(nullptr);
    Cddrive::SetMessageSink(nullptr);
    Cddrive::ResetUnit();
  }
  // A drive on the fake transport, constructed as the enumeration does.
  std::unique_ptr<TCdDrive> Make(const FakeDrive& d) {
    transport.Drives.push_back(d);
    return std::make_unique<TCdDrive>(static_cast<char>(d.Letter), d.HaId, d.Target, 0, d.Locator);
  }
  std::unique_ptr<TCdDrive> MakeGood(const std::string& name = "sr0") {
    return Make({name, InquiryData("QVXR    CRW-5224A       1000")});
  }
  bool Send(TCdDrive& drive, std::uint8_t DataIn = 1, std::uint32_t Length = 0) {
    return drive.ExecuteCommand(0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, DataIn, Length);
  }

  FakeTransport transport;
  RecordingSink sink;
};

// The judgement itself, on raw outcomes as a transport hands them over.
TEST_F(DriveUnit, SenseJudgement) {
  auto drive = MakeGood();
  CheckResultContract(
      *drive,
      [&](const RawOutcome& row) {
        CommandResult result = row.Completed ? CommandResult::WithStatus(row.ScsiStatus) : Failed(1117);
        result.SetSense(row.Sense.data(), row.Sense.size());
        result.ResidualKnown = row.Residual >= 0;
        result.Residual = row.Residual >= 0 ? static_cast<std::uint32_t>(row.Residual) : 0;
        transport.Results = {result};
      },
      true);

  struct Case {
    const char* name;
    CommandResult result;
    const char* senseText;
  };
  CommandResult accepted = Good();
  accepted.OsError = 5;
  const Case cases[] = {
      {"accepted, no sense", Good(), "00 00 00. 00, 0000"},
      {"no sense after a failed request", Failed(1117), "00 00 00. 00, 045D"},
      {"CHECK CONDITION with key 0", Check(0, 0, 0), "00 00 00. 02, 0000"},
      {"medium not present", Check(0x02, 0x3A, 0x00), "02 3A 00. 02, 0000"},
      {"BUSY: the system's device error", CommandResult::WithStatus(0x08), "00 00 00. 08, 0005"},
      {"accepted but the OS error is ignored", accepted, "00 00 00. 00, 0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transport.Results = {c.result};
    Send(*drive);
    EXPECT_EQ(drive->SenseText(), c.senseText);
  }
  // A failed request leaves 00 00 00, which is what the callers test for success.
  transport.Results = {Failed(31)};
  EXPECT_FALSE(Send(*drive));
  EXPECT_TRUE(drive->SenseIs(0, 0, 0));
  EXPECT_FALSE(drive->SenseIs(0, 0, 1));
  EXPECT_EQ(drive->LastError, 31u);
  EXPECT_TRUE(sink.Messages.empty());  // no failed open yet: failures are silent
}

TEST_F(DriveUnit, RequestCarriesCdbDirectionLengthBufferAndTimeout) {
  auto drive = MakeGood();
  transport.Log.clear();
  std::uint8_t mine[64] = {};
  drive->SetTimeout(180);
  drive->SetBuffer(mine, sizeof mine);
  EXPECT_TRUE(drive->ExecuteCommand(0x3B, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0, 64));
  EXPECT_TRUE(drive->ExecuteCommand(0x3C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 16));
  EXPECT_TRUE(drive->ExecuteCommand(0x3B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 8));  // any value but 1: out
  ASSERT_EQ(transport.Log.size(), 3u);
  EXPECT_EQ(transport.Log[0].Cdb, (std::vector<std::uint8_t>{0x3B, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_FALSE(transport.Log[0].DataIn);
  EXPECT_EQ(transport.Log[0].Length, 64u);
  EXPECT_EQ(transport.Log[0].Data, mine);
  EXPECT_EQ(transport.Log[0].Timeout, 180);
  EXPECT_EQ(transport.Log[0].Handle, 100);
  EXPECT_TRUE(transport.Log[1].DataIn);
  EXPECT_FALSE(transport.Log[2].DataIn);

  // INQUIRY goes to the inquiry buffer, never to the caller's buffer.
  transport.Log.clear();
  EXPECT_TRUE(drive->Inquiry());
  ASSERT_EQ(transport.Log.size(), 1u);
  EXPECT_EQ(transport.Log[0].Cdb, (std::vector<std::uint8_t>{0x12, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(transport.Log[0].DataIn);
  EXPECT_EQ(transport.Log[0].Length, 128u);
  EXPECT_EQ(transport.Log[0].Data, Cddrive::Unit().InquiryBuffer);
  EXPECT_FALSE(Cddrive::Unit().InquiryInProgress);
  EXPECT_TRUE(Send(*drive));
  EXPECT_EQ(transport.Log.back().Data, mine);
}

TEST_F(DriveUnit, BufferTimeoutAndStatusAreUnitWide) {
  Cddrive::UnitState& unit = Cddrive::Unit();
  EXPECT_EQ(unit.Buffer, nullptr);
  EXPECT_EQ(unit.Timeout, 60);
  auto a = MakeGood("sr0");
  EXPECT_EQ(a->GetBuffer(), unit.DefaultBuffer);  // installed by the set-up
  EXPECT_EQ(unit.BufferSize, 2352u);
  auto b = MakeGood("sr1");
  std::uint8_t mine[16384];
  a->SetBuffer(mine, sizeof mine);
  EXPECT_EQ(b->GetBuffer(), mine);
  EXPECT_EQ(unit.BufferSize, 16384u);
  b->SetBuffer(nullptr, 99);
  EXPECT_EQ(a->GetBuffer(), unit.DefaultBuffer);
  EXPECT_EQ(unit.BufferSize, 2352u);
  b->SetTimeout(7);
  EXPECT_EQ(unit.Timeout, 7);
  EXPECT_EQ(a->GetInitStatus(), dsOk);
  auto failed = Make({"sr2", {}});
  EXPECT_EQ(a->GetInitStatus(), dsNoDevice);  // the latest construction's status
  EXPECT_EQ(transport.Setups, 1);             // only while nothing is open
}

TEST_F(DriveUnit, SetupRunsWhileNothingIsOpenAndItsFailureStopsConstruction) {
  transport.SetupStatus = dsAspiNotLoaded;
  auto first = MakeGood("sr0");
  EXPECT_EQ(first->GetInitStatus(), dsAspiNotLoaded);
  EXPECT_TRUE(transport.Opened.empty());
  EXPECT_TRUE(transport.Log.empty());
  EXPECT_EQ(first->GetBuffer(), nullptr);
  transport.SetupStatus = dsOk;
  auto second = MakeGood("sr1");
  EXPECT_EQ(second->GetInitStatus(), dsOk);
  EXPECT_EQ(transport.Setups, 2);
  EXPECT_EQ(Cddrive::Unit().OpenCount, 1);
}

TEST_F(DriveUnit, DisplayLineAndItsReaders) {
  struct Case {
    const char* name;
    FakeDrive drive;
    const char* line;
    const char* vendorProduct;
    const char* revision;
  };
  const Case cases[] = {
      {"full data",
       {"sr0", InquiryData("QVXR    CRW-5224A       1000")},
       "0-0-0 E: QVXR    CRW-5224A       1000",
       "QVXR    CRW-5224A       ",
       "1000"},
      {"zero byte before byte 36 ends the text, padded on the left",
       {"sr1", InquiryData("QVXR    DVD-ROM")},
       "0-0-0 E:              QVXR    DVD-ROM",
       "             QVXR    DVD",
       "-ROM"},
      {"short data",
       {"sr2", InquiryData("QVXR    CRW", 19)},
       "0-0-0 E:                  QVXR    CRW",
       "                 QVXR   ",
       " CRW"},
      {"bus address and a blank letter",
       {"sr3", InquiryData("QVXR    CRW-5224A       1000"), false, ' ', 12, 1},
       "12-1-0  : QVXR    CRW-5224A       1000",
       "QVXR    CRW-5224A       ",
       "1000"},
      {"failed INQUIRY", {"sr4", {}}, "0", "                        ", "    "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto drive = Make(c.drive);
    EXPECT_EQ(drive->DriveText, c.line);
    EXPECT_EQ(drive->GetVendorProduct(), c.vendorProduct);
    EXPECT_EQ(drive->GetRevision(), c.revision);
    EXPECT_EQ(drive->GetDriveText(), c.line);
  }
}

TEST_F(DriveUnit, ReadersGiveBlanksForALineWithoutIdentification) {
  auto drive = MakeGood();
  for (const char* text : {"", "0", "0-0-0 E", "0-0-0 E: ", "0-0-0 E: QVXR"}) {
    SCOPED_TRACE(text);
    drive->DriveText = text;
    EXPECT_EQ(drive->GetVendorProduct().size(), 24u);
    EXPECT_EQ(drive->GetRevision(), "    ");
  }
  drive->DriveText = "0-0-0 E: QVXR";
  EXPECT_EQ(drive->GetVendorProduct(), "                    QVXR");
}

TEST_F(DriveUnit, ShortInquiryAfterAnotherDriveDoesNotShowItsIdentification) {
  auto first = Make({"sr0", InquiryData("QVXR    CRW-5224A       1000", 96)});
  auto second = Make({"sr1", InquiryData("ABCD", 12)});
  EXPECT_EQ(second->DriveText, "0-0-0 E: " + std::string(24, ' ') + "ABCD");
  EXPECT_EQ(second->GetVendorProduct(), std::string(24, ' '));
  // The same drive answering less the second time: nothing of its first answer stays.
  transport.Drives[0].Inquiry = InquiryData("QVXR", 12);
  EXPECT_EQ(first->GetDriveText(), "0-0-0 E: " + std::string(24, ' ') + "QVXR");
}

TEST_F(DriveUnit, FailedOpenShowsItsMessagesAndTurnsOnErrorMessages) {
  auto good = MakeGood("sr0");
  transport.Results = {Check(0x02, 0x3A, 0x00)};
  EXPECT_FALSE(Send(*good));
  EXPECT_TRUE(sink.Messages.empty());
  EXPECT_FALSE(Cddrive::Unit().ShowErrors);

  auto bad = Make({"sr1", InquiryData("X"), true});
  EXPECT_EQ(bad->GetInitStatus(), dsNoDevice);
  EXPECT_EQ(bad->Handle, kNoDevice);
  EXPECT_TRUE(Cddrive::Unit().ShowErrors);
  EXPECT_EQ(bad->LastError, 2u);
  ASSERT_EQ(sink.Messages.size(), 2u);
  EXPECT_EQ(sink.Messages[0], "Error opening: 2, Drive: /dev/sr1");
  EXPECT_EQ(sink.Messages[1], "SenseCode: 00 00 00, 00, Error: 2, No such file\r\n");
  EXPECT_TRUE(sink.Errors.empty());

  // From now on every failed command shows the SenseCode message.
  sink.Messages.clear();
  transport.Results = {Check(0x02, 0x3A, 0x00), Failed(5), Good()};
  EXPECT_FALSE(Send(*good));
  EXPECT_FALSE(Send(*good));
  EXPECT_TRUE(Send(*good));
  ASSERT_EQ(sink.Messages.size(), 2u);
  EXPECT_EQ(sink.Messages[0], "SenseCode: 02 3A 00, 02, Error: 0, Format message failed.");
  EXPECT_EQ(sink.Messages[1], "SenseCode: 00 00 00, 00, Error: 5, I/O error");
  EXPECT_EQ(Cddrive::Unit().MessageText, sink.Messages[1]);
}

TEST_F(DriveUnit, SystemTextThatDoesNotFitInEightyBytesIsNotShown) {
  auto good = MakeGood("sr0");
  Cddrive::Unit().ShowErrors = true;
  transport.Texts[40] = std::string(79, 'a');
  transport.Texts[41] = std::string(80, 'b');
  transport.Results = {Failed(40), Failed(41)};
  EXPECT_FALSE(Send(*good));
  EXPECT_FALSE(Send(*good));
  ASSERT_EQ(sink.Messages.size(), 2u);
  EXPECT_EQ(sink.Messages[0], "SenseCode: 00 00 00, 00, Error: 40, " + std::string(79, 'a'));
  EXPECT_EQ(sink.Messages[1], "SenseCode: 00 00 00, 00, Error: 41, Format message failed.");
}

TEST_F(DriveUnit, FailedInquiryClosesTheDeviceAndIsNotCounted) {
  auto drive = Make({"sr0", {}});
  EXPECT_EQ(drive->GetInitStatus(), dsNoDevice);
  EXPECT_EQ(drive->DriveText, "0");
  EXPECT_EQ(drive->Handle, kNoDevice);
  EXPECT_EQ(transport.Closed, (std::vector<DeviceHandle>{100}));
  EXPECT_EQ(Cddrive::Unit().OpenCount, 0);
  EXPECT_TRUE(sink.Messages.empty());
}

TEST_F(DriveUnit, DestructionClosesTheHandleOrReleasesTheBusLayer) {
  {
    auto drive = MakeGood("sr0");
    EXPECT_EQ(Cddrive::Unit().OpenCount, 1);
  }
  EXPECT_EQ(transport.Closed, (std::vector<DeviceHandle>{100}));
  EXPECT_EQ(Cddrive::Unit().OpenCount, 0);
  EXPECT_EQ(transport.Releases, 0);

  // A bus addressed without opening anything: the count goes down first, and a
  // destruction that finds it at 0 releases the layer.
  transport.Opens = false;
  auto a = MakeGood("sr1");
  auto b = MakeGood("sr2");
  EXPECT_EQ(a->Handle, kNoDevice);
  EXPECT_EQ(Cddrive::Unit().OpenCount, 2);
  b.reset();
  a.reset();
  EXPECT_EQ(Cddrive::Unit().OpenCount, 0);
  EXPECT_EQ(transport.Releases, 0);
  auto failed = Make({"sr3", {}});
  failed.reset();
  EXPECT_EQ(transport.Releases, 1);
  EXPECT_EQ(transport.Closed.size(), 1u);
}

TEST_F(DriveUnit, EnumerationKeepsGoodDrivesInOrderAndReleasesFailedProbes) {
  transport.Drives = {{"sr0", InquiryData("QVXR    CRW-5224A       1000"), false, 'E'},
                      {"sr1", InquiryData("QVXR    CRW-5224A       1000"), true, 'F'},
                      {"sr2", {}, false, 'G'},
                      {"sr3", InquiryData("QVXR    DVD-ROM 16X     0100"), false, 'H'}};
  {
    TCdDrives drives;
    ASSERT_EQ(drives.Count(), 2);
    ASSERT_NE(drives.Current, nullptr);
    EXPECT_EQ(drives.Current->DriveLetter, 'E');
    EXPECT_EQ(Cddrive::Unit().OpenCount, 2);
    EXPECT_EQ(transport.Closed, (std::vector<DeviceHandle>{102}));  // the failed INQUIRY's handle

    struct SelectCase {
      std::int16_t index;
      bool result;
      char current;
    };
    for (const SelectCase& s :
         {SelectCase{1, true, 'H'}, SelectCase{-1, false, 'H'}, SelectCase{2, false, 'H'},
          SelectCase{0, true, 'E'}, SelectCase{24, false, 'E'}, SelectCase{1, true, 'H'}}) {
      SCOPED_TRACE(s.index);
      EXPECT_EQ(drives.Select(s.index), s.result);
      EXPECT_EQ(drives.Current->DriveLetter, s.current);
    }
  }
  // Destroyed last first, and only the listed drives.
  EXPECT_EQ(transport.Closed, (std::vector<DeviceHandle>{102, 103, 100}));
  EXPECT_EQ(Cddrive::Unit().OpenCount, 0);
}

TEST_F(DriveUnit, FailedProbesOnABusLayerNeitherLowerTheCountNorReleaseIt) {
  transport.Opens = false;
  transport.Drives = {{"a", InquiryData("A")}, {"b", {}}, {"c", {}}, {"d", InquiryData("D")}};
  {
    TCdDrives drives;
    EXPECT_EQ(drives.Count(), 2);
    EXPECT_EQ(Cddrive::Unit().OpenCount, 2);
    EXPECT_EQ(transport.Releases, 0);
  }
  EXPECT_EQ(Cddrive::Unit().OpenCount, 0);
  EXPECT_EQ(transport.Releases, 0);
}

TEST_F(DriveUnit, NoDrivesAndNoTransport) {
  {
    TCdDrives drives;
    EXPECT_EQ(drives.Count(), 0);
    EXPECT_EQ(drives.Current, nullptr);
    EXPECT_FALSE(drives.Select(0));
    EXPECT_FALSE(drives.Select(-1));
  }
  EXPECT_EQ(transport.Setups, 0);
  EXPECT_TRUE(transport.Closed.empty());

  Cddrive::InstallTransport(nullptr);
  TCdDrives none;
  EXPECT_EQ(none.Count(), 0);
  TCdDrive lone('E', 0, 0, 0, "sr0");
  EXPECT_EQ(lone.GetInitStatus(), dsNoDevice);
  EXPECT_FALSE(lone.ExecuteCommand(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0));
}

TEST_F(DriveUnit, MoreDrivesThanTheListHoldsAreNeitherOpenedNorListed) {
  for (int i = 0; i < 30; ++i) {
    transport.Drives.push_back({Format("sr%d", i), InquiryData(Format("QVXR    DRIVE%-11d1000", i))});
  }
  transport.Drives[3].OpenFails = true;  // a failed probe frees its slot for the next drive
  TCdDrives drives;
  ASSERT_EQ(drives.Count(), 24);
  EXPECT_EQ(transport.Opened.size(), 25u);
  EXPECT_EQ(transport.Opened.back(), "sr24");
  ASSERT_TRUE(drives.Select(23));
  EXPECT_EQ(drives.Current->Locator, "sr24");
  EXPECT_FALSE(drives.Select(24));
}

}  // namespace
