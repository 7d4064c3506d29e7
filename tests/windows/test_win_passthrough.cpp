// The pass-through transport: the request block that goes to DeviceIoControl,
// what is read back from it, the open of "\\.\X:" and the walk over the logical
// drives, with the system calls stood in for.
#include <gtest/gtest.h>

#include <cstring>

#include "device/Cddrive.h"
#include "tests/ResultContract.h"
#include "tests/Support.h"
#include "tests/windows/WinSupport.h"

namespace {

struct RequestCase {
  const char* name;
  bool dataIn;
  std::uint32_t length;
  std::uint16_t timeout;
  DriveAddress address;
  UCHAR direction;
};

const RequestCase kRequests[] = {
    {"drive to host", true, 128, 60, {'D', 0, 0, 0, {}}, SCSI_IOCTL_DATA_IN},
    {"host to drive", false, 16384, 180, {'E', 0, 0, 0, {}}, SCSI_IOCTL_DATA_OUT},
    {"no data goes as drive to host, length 0", true, 0, 60, {'F', 0, 0, 0, {}}, SCSI_IOCTL_DATA_IN},
    {"address goes into the record", true, 36, 5, {'G', 3, 4, 5, {}}, SCSI_IOCTL_DATA_IN},
};

TEST(PassThroughRequest, OneBlockPerCommandFilledFromTheRequest) {
  SystemStandIns standIns;
  PassThroughTransport transport;
  std::uint8_t data[16384] = {};
  for (const RequestCase& c : kRequests) {
    SCOPED_TRACE(c.name);
    Fake().Ioctls.clear();
    CommandRequest request;
    for (int i = 0; i < 12; ++i) request.Cdb[i] = static_cast<std::uint8_t>(0xA0 + i);
    request.DataIn = c.dataIn;
    request.Length = c.length;
    request.Data = data;
    request.TimeoutSeconds = c.timeout;
    transport.Execute(reinterpret_cast<DeviceHandle>(FakeHandle(0x42)), c.address, request);

    ASSERT_EQ(Fake().Ioctls.size(), 1u);
    const IoctlCall& call = Fake().Ioctls[0];
    EXPECT_EQ(call.Device, FakeHandle(0x42));
    EXPECT_EQ(call.Code, 0x4D014u);
    EXPECT_EQ(call.In, call.Out);  // the same block in and out
    EXPECT_EQ(call.InSize, sizeof(PassThroughBlock));
    EXPECT_EQ(call.OutSize, sizeof(PassThroughBlock));
    EXPECT_EQ(call.Overlapped, nullptr);

    const SCSI_PASS_THROUGH_DIRECT& record = call.Sent.Record;
    EXPECT_EQ(record.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(record.ScsiStatus, 0);
    EXPECT_EQ(record.PathId, c.address.HaId);
    EXPECT_EQ(record.TargetId, c.address.Target);
    EXPECT_EQ(record.Lun, c.address.Lun);
    EXPECT_EQ(record.CdbLength, 12);
    EXPECT_EQ(record.SenseInfoLength, 24);
    EXPECT_EQ(record.DataIn, c.direction);
    EXPECT_EQ(record.DataTransferLength, c.length);
    EXPECT_EQ(record.TimeOutValue, c.timeout);
    EXPECT_EQ(record.DataBuffer, data);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(record.Cdb[i], 0xA0 + i) << "CDB byte " << i;
    for (int i = 12; i < 16; ++i) EXPECT_EQ(record.Cdb[i], 0) << "CDB byte " << i;
    // The sense buffer lies behind the record and its 4 filler bytes.
    EXPECT_EQ(record.SenseInfoOffset, record.Length + 4u);
    EXPECT_EQ(reinterpret_cast<const UCHAR*>(&call.Sent) + record.SenseInfoOffset, call.Sent.Sense);
  }
}

TEST(PassThroughRequest, LayoutIsThePlatformsOwn) {
  // 32-bit: a 44-byte record, sense at 48, 80 bytes; 64-bit: the record holds an
  // 8-byte pointer and is 56 bytes, the sense buffer follows at 60.
  if (sizeof(void*) == 8) {
    EXPECT_EQ(kPassThroughRecordSize, 56u);
    EXPECT_EQ(kPassThroughSenseOffset, 60u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer), 24u);
  } else {
    EXPECT_EQ(kPassThroughRecordSize, 44u);
    EXPECT_EQ(kPassThroughSenseOffset, 48u);
    EXPECT_EQ(kPassThroughBlockSize, 80u);
  }
  EXPECT_GE(kPassThroughBlockSize, kPassThroughSenseOffset + 32);
}

struct ResultCase {
  const char* name;
  BOOL accepted;
  UCHAR status;
  UCHAR sense[14];
  DWORD lastError;
  bool wantAccepted;
  std::uint8_t key, asc, ascq;
};

const ResultCase kResults[] = {
    {"good", TRUE, 0x00, {}, 0, true, 0x00, 0x00, 0x00},
    {"check condition with sense",
     TRUE,
     0x02,
     {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00},
     0,
     true,
     0x05,
     0x24,
     0x00},
    {"sense key byte taken whole, flag bits included",
     TRUE,
     0x02,
     {0xF0, 0, 0x20, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x00, 0x00},
     0,
     true,
     0x20,
     0x00,
     0x00},
    {"not ready, medium not present",
     TRUE,
     0x02,
     {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x00},
     0,
     true,
     0x02,
     0x3A,
     0x00},
    {"refused by the system: no sense", FALSE, 0x00, {}, ERROR_NOT_SUPPORTED, false, 0x00, 0x00, 0x00},
};

TEST(PassThroughResult, StatusSenseAndErrorComeBackFromTheBlock) {
  SystemStandIns standIns;
  PassThroughTransport transport;
  for (const ResultCase& c : kResults) {
    SCOPED_TRACE(c.name);
    Fake().Device = [&c](PassThroughBlock& block) {
      block.Record.ScsiStatus = c.status;
      std::memcpy(block.Sense, c.sense, sizeof c.sense);
      Fake().LastError = c.lastError;
      return c.accepted;
    };
    const CommandResult result = transport.Execute(0, {}, CommandRequest{});
    EXPECT_EQ(result.Completed, c.wantAccepted);
    EXPECT_EQ(result.Status, c.status);
    EXPECT_EQ(SenseByte(result, 2), c.key);
    EXPECT_EQ(SenseByte(result, 12), c.asc);
    EXPECT_EQ(SenseByte(result, 13), c.ascq);
    EXPECT_EQ(result.OsError, c.lastError);
  }
}

TEST(PassThroughResult, SenseOfAnEarlierCommandNeverComesBackAgain) {
  SystemStandIns standIns;
  PassThroughTransport transport;
  Fake().Device = [](PassThroughBlock& block) {
    block.Sense[2] = 0x04;
    block.Sense[12] = 0x44;
    block.Record.ScsiStatus = 0x02;
    return TRUE;
  };
  EXPECT_EQ(SenseByte(transport.Execute(0, {}, CommandRequest{}), 2), 0x04);
  Fake().Device = [](PassThroughBlock&) { return FALSE; };  // fails without touching the block
  const CommandResult second = transport.Execute(0, {}, CommandRequest{});
  EXPECT_FALSE(second.Completed);
  EXPECT_EQ(SenseByte(second, 2), 0);
  EXPECT_EQ(SenseByte(second, 12), 0);
  EXPECT_EQ(second.Status, 0);
}

TEST(PassThroughResult, KeepsTheResultContract) {
  SystemStandIns standIns;
  PassThroughTransport transport;
  const RawOutcome* current = nullptr;
  Fake().Device = [&current](PassThroughBlock& block) {
    SCSI_PASS_THROUGH_DIRECT& record = block.Record;
    if (record.Cdb[0] == 0x12) {
      std::memcpy(record.DataBuffer, kContractInquiry, kContractInquiryLength);
      return TRUE;
    }
    if (!current->Completed) {
      Fake().LastError = ERROR_SEM_TIMEOUT;
      return FALSE;
    }
    // As the system leaves it: the status, the sense bytes it wrote and their
    // count, and the data bytes it moved.
    record.ScsiStatus = current->ScsiStatus;
    std::memcpy(block.Sense, current->Sense.data(), current->Sense.size());
    record.SenseInfoLength = static_cast<UCHAR>(current->Sense.size());
    if (current->Residual > 0) record.DataTransferLength -= static_cast<ULONG>(current->Residual);
    return TRUE;
  };
  CheckResultContract(
      transport, {'D', 0, 0, 0, {}}, [&current](const RawOutcome& row) { current = &row; }, true);
}

TEST(PassThroughOpen, OpensTheLetterAsADeviceAndReportsAFailure) {
  SystemStandIns standIns;
  PassThroughTransport transport;
  const OpenResult good = transport.Open({'E', 0, 0, 0, {}});
  ASSERT_EQ(Fake().Opens.size(), 1u);
  const OpenCall& call = Fake().Opens[0];
  EXPECT_EQ(call.Path, "\\\\.\\E:");
  EXPECT_EQ(call.Access, 0xC0000000u);
  EXPECT_EQ(call.Share, 1u);
  EXPECT_EQ(call.Disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(call.Flags, 0u);
  EXPECT_FALSE(call.Security);
  EXPECT_FALSE(call.Template);
  EXPECT_NE(good.Handle, kNoDevice);

  transport.Close(good.Handle);
  ASSERT_EQ(Fake().Closed.size(), 1u);
  EXPECT_EQ(reinterpret_cast<DeviceHandle>(Fake().Closed[0]), good.Handle);

  Fake().OpenErrors["\\\\.\\F:"] = ERROR_ACCESS_DENIED;
  const OpenResult bad = transport.Open({'F', 0, 0, 0, {}});
  EXPECT_EQ(bad.Handle, kNoDevice);
  EXPECT_EQ(bad.Error, static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(bad.Path, "\\\\.\\F:");
}

std::string Roots(const std::string& letters) {
  std::string roots;
  for (char letter : letters) roots += std::string(1, letter) + ":\\" + '\0';
  return roots + '\0';
}

struct EnumerationCase {
  const char* name;
  std::string roots;
  std::string cdroms;
  std::string want;
};

const EnumerationCase kEnumerations[] = {
    {"CD-ROM letters in the system's order", Roots("ACDEZ"), "ED", "DE"},
    {"no CD-ROM", Roots("CZ"), "", ""},
    {"no drives at all", std::string(1, '\0'), "", ""},
    {"19 roots fill the 80-byte buffer", Roots("ABCDEFGHIJKLMNOPQRS"), "AS", "AS"},
    {"more roots than fit are read again with room for all", Roots("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), "DXZ",
     "DXZ"},
};

TEST(PassThroughEnumeration, CdromLettersOfTheLogicalDrives) {
  SystemStandIns standIns;
  for (const EnumerationCase& c : kEnumerations) {
    SCOPED_TRACE(c.name);
    Fake().Roots = c.roots;
    Fake().RootBufferSizes.clear();
    Fake().DriveTypes.clear();
    for (char letter : c.cdroms) Fake().DriveTypes[letter] = DRIVE_CDROM;
    PassThroughTransport transport;
    std::string letters;
    for (const DriveAddress& address : transport.Enumerate()) {
      letters += address.Letter;
      EXPECT_EQ(address.HaId, 0);
      EXPECT_EQ(address.Target, 0);
      EXPECT_EQ(address.Lun, 0);
    }
    EXPECT_EQ(letters, c.want);
    ASSERT_FALSE(Fake().RootBufferSizes.empty());
    EXPECT_EQ(Fake().RootBufferSizes[0], 80u);
  }
}

TEST(PassThroughEnumeration, AWalkNeverLeavesTheBuffer) {
  // A system that fills all 80 bytes with roots and no end mark.
  SystemStandIns standIns;
  Fake().Roots = std::string(80, 'D');
  Fake().DriveTypes['D'] = DRIVE_CDROM;
  PassThroughTransport transport;
  EXPECT_EQ(transport.Enumerate().size(), 20u);
}

TEST(PassThroughErrorText, AsksForTheSystemTextIn80Bytes) {
  SystemStandIns standIns;
  PassThroughTransport transport;
  Fake().FormatText = "The request is not supported.\r\n";
  EXPECT_EQ(transport.ErrorText(50), "The request is not supported.\r\n");
  ASSERT_EQ(Fake().FormatSizes.size(), 1u);
  EXPECT_EQ(Fake().FormatSizes[0], 80u);
  EXPECT_EQ(Fake().FormatLanguages[0], 0u);
  EXPECT_NE(Fake().FormatFlags[0] & FORMAT_MESSAGE_FROM_SYSTEM, 0u);
  // No arguments go with the request: inserts must be left alone.
  EXPECT_NE(Fake().FormatFlags[0] & FORMAT_MESSAGE_IGNORE_INSERTS, 0u);

  Fake().FormatText = std::string(80, 'x');  // does not fit
  EXPECT_EQ(transport.ErrorText(50), "");
  Fake().FormatText.clear();  // the system has no text
  EXPECT_EQ(transport.ErrorText(50), "");
}

}  // namespace
