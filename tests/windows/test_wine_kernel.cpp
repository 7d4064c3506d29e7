// The Windows program's pass-through with a real SCSI stack behind Wine: run by
// the kernel stage (scripts/test-kernel) in its emulated machine, where D: is the
// simulated drive that the kernel serves as /dev/srN, and the environment names
// the file the guest compares the drive's flash with (FLASHUTIL_KERNEL_IMAGE).
// Elsewhere they skip, and the Windows test run leaves them out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "app/FlashForm.h"
#include "device/Cddrive.h"
#include "platform/windows/WindowsTransport.h"
#include "tests/Support.h"
#include "tests/UpdateRig.h"

namespace {

const char* ImageFile() {
  return std::getenv("FLASHUTIL_KERNEL_IMAGE");
}

CommandResult SendToD(PassThroughTransport& transport, const std::uint8_t* cdb, std::uint8_t* data,
                      std::uint32_t length) {
  const DriveAddress d{'D', 0, 0, 0, {}};
  const OpenResult opened = transport.Open(d);
  EXPECT_NE(opened.Handle, kNoDevice) << "error " << opened.Error;
  CommandRequest request;
  std::memcpy(request.Cdb, cdb, sizeof request.Cdb);
  request.Length = length;
  request.Data = data;
  const CommandResult result = transport.Execute(opened.Handle, d, request);
  transport.Close(opened.Handle);
  return result;
}

TEST(WineKernel, InquiryAndARejectedCommandThroughPassThrough) {
  if (ImageFile() == nullptr) GTEST_SKIP() << "not in the kernel stage's machine";
  PassThroughTransport transport;
  std::uint8_t inquiry[36] = {};
  const std::uint8_t inquiryCdb[12] = {0x12, 0, 0, 0, sizeof inquiry};
  const CommandResult identified = SendToD(transport, inquiryCdb, inquiry, sizeof inquiry);
  ASSERT_TRUE(identified.Completed) << "error " << identified.OsError;
  EXPECT_EQ(identified.ScsiStatus, 0);
  EXPECT_EQ(inquiry[0] & 0x1F, 5);  // an optical drive
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 8, 28), "QVXR    CRW-5224A       1000");

  // An opcode the drive does not know comes back with its sense data.
  std::uint8_t reply[16] = {};
  const std::uint8_t unknownCdb[12] = {0xF7, 0, 0, 0, 0, 0, 0, 0, sizeof reply};
  const CommandResult rejected = SendToD(transport, unknownCdb, reply, sizeof reply);
  ASSERT_TRUE(rejected.Completed) << "error " << rejected.OsError;
  EXPECT_EQ(rejected.ScsiStatus, 0x02);
  ASSERT_GE(rejected.SenseLength, 14);
  EXPECT_EQ(rejected.Sense[2] & 0x0F, 0x05);
  EXPECT_EQ(rejected.Sense[12], 0x20);
  EXPECT_EQ(rejected.Sense[13], 0x00);
}

TEST(WineKernel, WholeUpdateThroughPassThrough) {
  if (ImageFile() == nullptr) GTEST_SKIP() << "not in the kernel stage's machine";
  const std::vector<std::uint8_t> image = MakeImage(0x20000);
  auto package = MakeFlasherPackage({}, image);

  RecordingToolkit ui;
  WindowsTransport transport;
  Cddrive::ResetUnit();
  Cddrive::InstallTransport(&transport);
  ui.Answers = {DialogResult::Yes, DialogResult::Yes};
  ui.Script = {[](RecordingToolkit& u) { u.UserPressesButton(); }};
  RunApplication(ui, *package, {});
  Cddrive::InstallTransport(nullptr);
  Cddrive::ResetUnit();

  std::ofstream(ImageFile(), std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::string shown;
  for (const std::string& message : ui.Messages) shown += "[message]" + message + "\n";
  for (const RecordingToolkit::Dialog& dialog : ui.Dialogs) shown += "[dialog]" + dialog.Text + "\n";
  EXPECT_EQ(ui.GroupCaption(), "Flash Completed.") << shown;
  ASSERT_FALSE(ui.ComboLines.empty()) << shown;
  // The refreshed line shows the revision the new flash carries.
  EXPECT_NE(ui.ComboLines[0].find("QVXR    CRW-5224A       2000"), std::string::npos) << ui.ComboLines[0];
}

}  // namespace
