// The commands of the update: WRITE BUFFER and READ BUFFER with the drive's vendor
// meanings, and entry critical. Every command block is 12 bytes with big-endian
// fields; every data phase goes through TransferBuffer.
#include <cstring>

#include "app/FlashForm.h"
#include "common/Text.h"
#include "update/CommandBlocks.h"

namespace {

constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kReadBuffer = 0x3C;
constexpr std::uint8_t kVendorMode = 0x05;    // WRITE BUFFER: the drive maker's download mode
constexpr std::uint8_t kReadDataMode = 0x01;  // READ BUFFER: the drive maker's data mode
constexpr std::uint8_t kBufferId = 0x01;
constexpr std::uint8_t kReadFlashId = 0xDF;
constexpr std::uint8_t kReadFlashIdFunction = 0x11;
constexpr std::uint32_t kFlashFormReply = 16;  // what the drive may answer to a commit

// A 24-bit big-endian field: the low 24 bits of the value.
void Put24(std::uint8_t* at, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  at[0] = static_cast<std::uint8_t>(v >> 16);
  at[1] = static_cast<std::uint8_t>(v >> 8);
  at[2] = static_cast<std::uint8_t>(v);
}

// Fills a WRITE BUFFER or READ BUFFER command block.
void BufferCommand(CommandBlock& cdb, std::uint8_t opcode, std::uint8_t mode, std::int32_t offset,
                   std::int32_t length, std::uint8_t control) {
  std::memset(cdb, 0, sizeof cdb);
  cdb[0] = opcode;
  cdb[1] = mode;
  cdb[2] = kBufferId;
  Put24(&cdb[3], offset);
  Put24(&cdb[6], length);
  cdb[9] = control;
}

// A data phase longer than the transfer buffer is refused before anything is sent.
bool FitsTransfer(Toolkit& ui, const char* tag, std::int32_t length) {
  if (length >= 0 && static_cast<std::uint32_t>(length) <= TFlashForm::kTransferSize) return true;
  ui.ShowMessage(Format("%s%d bytes do not fit the %u-byte transfer buffer", tag, length,
                        static_cast<unsigned>(TFlashForm::kTransferSize)));
  return false;
}

}  // namespace

void WriteBufferCommand(CommandBlock& cdb, std::int32_t offset, std::int32_t length, std::uint8_t control) {
  BufferCommand(cdb, kWriteBuffer, kVendorMode, offset, length, control);
}

void ReadBufferCommand(CommandBlock& cdb, std::int32_t offset, std::int32_t length) {
  BufferCommand(cdb, kReadBuffer, kReadDataMode, offset, length, 0);
}

void ReadFlashIdCommand(CommandBlock& cdb) {
  std::memset(cdb, 0, sizeof cdb);
  cdb[0] = kReadFlashId;
  cdb[1] = kReadFlashIdFunction;
}

bool TFlashForm::SendVendorCommand(const char* tag, std::uint8_t DataIn, std::uint32_t Length,
                                   bool WholeReply) {
  if (Drive == nullptr || TransferBuffer == nullptr) {
    ui_.ShowMessage(std::string(tag) + "no drive selected");
    return false;
  }
  // A transport failure leaves no sense data behind, so the sense bytes alone
  // would read as success: both the transport's result and the sense must agree.
  const bool completed = Drive->ExecuteCommand(Cdb[0], Cdb[1], Cdb[2], Cdb[3], Cdb[4], Cdb[5], Cdb[6], Cdb[7],
                                               Cdb[8], Cdb[9], Cdb[10], Cdb[11], DataIn, Length, WholeReply);
  if (completed && Drive->SenseIs(0, 0, 0)) return true;
  ui_.ShowMessage(tag + Drive->SenseText());
  Drive->ShowAccessAdvice();
  return false;
}

bool TFlashForm::WriteBuffer(std::int32_t Offset, const std::uint8_t* Data, std::int32_t Length,
                             std::uint8_t Control) {
  static const char kTag[] = "Write Buffer> ";
  const bool flashForm = Control == kControlFlash || Control == kControlFlashAll;
  if (!flashForm && !FitsTransfer(ui_, kTag, Length)) return false;
  WriteBufferCommand(Cdb, Offset, Length, Control);
  if (flashForm) return SendVendorCommand(kTag, 1, kFlashFormReply);
  if (Length > 0 && TransferBuffer != nullptr)
    std::memcpy(TransferBuffer, Data, static_cast<std::size_t>(Length));
  return SendVendorCommand(kTag, 0, static_cast<std::uint32_t>(Length));
}

bool TFlashForm::ReadBuffer(std::int32_t Offset, std::uint8_t* Destination, std::int32_t Length) {
  static const char kTag[] = "Read Buffer> ";
  if (!FitsTransfer(ui_, kTag, Length)) return false;
  ReadBufferCommand(Cdb, Offset, Length);
  if (!SendVendorCommand(kTag, 1, static_cast<std::uint32_t>(Length), /*WholeReply=*/true)) return false;
  if (Length > 0) std::memcpy(Destination, TransferBuffer, static_cast<std::size_t>(Length));
  return true;
}

bool TFlashForm::EntryCritical() {
  WriteBufferCommand(Cdb, 0, 0, kControlCritical);
  return SendVendorCommand("Entry critical> ", 1, 0);
}
