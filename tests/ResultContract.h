// The contract every transport keeps with the drive unit: one raw outcome, put in
// each transport's own form (SG_IO header, pass-through block, ASPI request, the
// simulated drive's reply), gives the drive the same result on all of them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device/Cddrive.h"

struct RawOutcome {
  const char* Name;
  // As the system reports it.
  bool Completed;
  std::uint8_t ScsiStatus;
  std::vector<std::uint8_t> Sense;  // as it came back; its size is the sense length
  int Residual;                     // -1: the system says nothing of it
  std::uint8_t Opcode;              // the command: data in, kLength bytes
  // What the drive makes of it.
  bool Succeeds;
  std::uint8_t Key, Asc, Ascq;
  bool WholeReply = false;  // the caller asks for every byte
};

constexpr std::uint32_t kContractLength = 16;

// The INQUIRY data the contract's drive answers with, 36 bytes.
inline const char kContractInquiry[] = "\x05\x80\x00\x32\x1F\x00\x00\x00QVXR    CRW-5224A       1000";
constexpr std::size_t kContractInquiryLength = 36;

// Byte i of the sense data as a transport handed it back; 0 past what came.
inline std::uint8_t SenseByte(const CommandResult& result, std::size_t i) {
  return i < result.SenseLength ? result.Sense[i] : 0;
}
constexpr std::uint8_t kReadBufferOpcode = 0x3C;
constexpr std::uint8_t kInquiryOpcode = 0x12;

// Fixed-format sense data (response code 70h) with the key byte, code and qualifier.
inline std::vector<std::uint8_t> FixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                                            std::uint8_t code = 0x70) {
  std::vector<std::uint8_t> sense(14, 0);
  sense[0] = code;
  sense[2] = key;
  sense[7] = 6;
  sense[12] = asc;
  sense[13] = ascq;
  return sense;
}

inline const std::vector<RawOutcome>& ResultContract() {
  static const std::vector<RawOutcome> rows = {
      {"GOOD", true, 0x00, {}, -1, kReadBufferOpcode, true, 0, 0, 0},
      {"GOOD, every byte came", true, 0x00, {}, 0, kReadBufferOpcode, true, 0, 0, 0},
      {"CHECK CONDITION, valid sense with key 0", true, 0x02, FixedSense(0, 0, 0), -1, kReadBufferOpcode,
       true, 0, 0, 0},
      {"CHECK CONDITION, key 0 with an additional code", true, 0x02, FixedSense(0, 0x29, 0x01), -1,
       kReadBufferOpcode, true, 0, 0x29, 0x01},
      {"CHECK CONDITION, medium not present (valid bit set)", true, 0x02, FixedSense(0x02, 0x3A, 0x00, 0xF0),
       -1, kReadBufferOpcode, false, 0x02, 0x3A, 0x00},
      {"CHECK CONDITION, incorrect-length flag alone", true, 0x02, FixedSense(0x20, 0, 0), -1,
       kReadBufferOpcode, false, 0x20, 0, 0},
      {"CHECK CONDITION, descriptor-format sense",
       true,
       0x02,
       {0x72, 0x05, 0x24, 0x00, 0, 0, 0, 0},
       -1,
       kReadBufferOpcode,
       false,
       0x05,
       0x24,
       0x00},
      {"CHECK CONDITION, sense bytes all zero", true, 0x02, std::vector<std::uint8_t>(14, 0), -1,
       kReadBufferOpcode, false, 0, 0, 0},
      {"CHECK CONDITION, no valid response code", true, 0x02, FixedSense(0x05, 0x24, 0x00, 0x00), -1,
       kReadBufferOpcode, false, 0, 0, 0},
      {"CHECK CONDITION, no sense came back", true, 0x02, {}, -1, kReadBufferOpcode, false, 0, 0, 0},
      {"GOOD, but valid sense with key 6", true, 0x00, FixedSense(0x06, 0x29, 0x00), -1, kReadBufferOpcode,
       false, 0x06, 0x29, 0x00},
      {"BUSY", true, 0x08, {}, -1, kReadBufferOpcode, false, 0, 0, 0},
      {"RESERVATION CONFLICT", true, 0x18, {}, -1, kReadBufferOpcode, false, 0, 0, 0},
      {"TASK SET FULL", true, 0x28, {}, -1, kReadBufferOpcode, false, 0, 0, 0},
      {"the request failed below the drive", false, 0x00, {}, -1, kReadBufferOpcode, false, 0, 0, 0},
      {"a read back that brought fewer bytes", true, 0x00, {}, 4, kReadBufferOpcode, false, 0, 0, 0, true},
      {"a shorter READ BUFFER reply taken as it came", true, 0x00, {}, 4, kReadBufferOpcode, true, 0, 0, 0},
      {"a shorter INQUIRY reply is the drive's choice", true, 0x00, {}, 4, kInquiryOpcode, true, 0, 0, 0},
  };
  return rows;
}

// Sends every row's command through the drive after prime(row) has set the
// transport up to answer it with the row's outcome. A transport that reports no
// residual skips the rows that need one.
template <typename Prime>
void CheckResultContract(TCdDrive& drive, Prime prime, bool reportsResidual) {
  for (const RawOutcome& row : ResultContract()) {
    if (row.Residual > 0 && !reportsResidual) continue;
    SCOPED_TRACE(row.Name);
    prime(row);
    const bool ok =
        drive.ExecuteCommand(row.Opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, kContractLength, row.WholeReply);
    EXPECT_EQ(ok, row.Succeeds);
    EXPECT_TRUE(drive.SenseIs(row.Key, row.Asc, row.Ascq)) << drive.SenseText();
    EXPECT_EQ(drive.RequestAccepted, row.Completed);
    // A failure never reads as a success: a sense key or an error number says why.
    if (row.Succeeds) {
      EXPECT_EQ(drive.LastError, 0u);
    } else {
      EXPECT_TRUE(drive.LastError != 0 || drive.SenseKey != 0) << drive.SenseText();
    }
  }
}

// The same for a drive at `address` on `transport`, installed for the run with the
// unit reset around it.
template <typename Prime>
void CheckResultContract(Transport& transport, const DriveAddress& address, Prime prime,
                         bool reportsResidual) {
  Cddrive::ResetUnit();
  Cddrive::InstallTransport(&transport);
  {
    TCdDrive drive(address.Letter, address.HaId, address.Target, address.Lun, address.Locator);
    EXPECT_EQ(drive.GetInitStatus(), dsOk);
    if (drive.GetInitStatus() == dsOk) CheckResultContract(drive, prime, reportsResidual);
  }
  Cddrive::InstallTransport(nullptr);
  Cddrive::ResetUnit();
}
