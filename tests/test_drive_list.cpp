// The eligibility check and the drive list of a flash program, on simulated
// drives: which drives are offered, the error report, and the line the user picks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Text.h"
#include "platform/sim/SimulatedDrive.h"
#include "tests/Support.h"

namespace {

const std::string kRule = std::string(59, '-');

SimDriveConfig SimDrive(const std::string& name, const std::string& vendor, const std::string& product,
                        const std::string& revision) {
  SimDriveConfig config;
  config.Name = name;
  config.Vendor = vendor;
  config.Product = product;
  config.Revision = revision;
  return config;
}

class DriveList : public ::testing::Test {
 protected:
  void SetUp() override {
    Cddrive::ResetUnit();
    Cddrive::InstallTransport(&sim);
  }
  void TearDown() override {
    fixture.reset();
    Cddrive::InstallTransport(nullptr);
    Cddrive::ResetUnit();
  }
  // A flash program started with the warning answered Yes.
  FormFixture& Start(const PackageFields& fields = {}) {
    fixture = std::make_unique<FormFixture>(MakeFlasherPackage(fields));
    fixture->Ui.Answers = {DialogResult::Yes};
    fixture->Create();
    return *fixture;
  }
  void AddDrive(const std::string& vendor, const std::string& product, const std::string& revision) {
    sim.Add(SimDrive(Format("sim%zu", sim.Size()), vendor, product, revision));
  }

  SimulatedTransport sim;
  std::unique_ptr<FormFixture> fixture;
};

struct EligibilityCase {
  const char* name;
  const char* inquiry;  // the package's InquiryId
  const char* range;    // the package's FirmwareRange
  const char* vendor;
  const char* product;
  const char* revision;
  bool eligible;
};

const EligibilityCase kEligibility[] = {
    {"same model, revision inside", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "CRW-5224A", "1500", true},
    {"model wildcard admits anything", "--", "1000-1FFF", "ACME", "CD-R", "9999", true},
    {"model wildcard needs both hyphens", "-X", "1000-1FFF", "ACME", "CD-R", "1500", false},
    {"short InquiryId matches blank padding", "QVXR    CRW", "1000-1FFF", "QVXR", "CRW", "1500", true},
    {"short InquiryId, more product characters", "QVXR    CRW", "1000-1FFF", "QVXR", "CRW-5224A", "1500",
     false},
    {"identity is case-sensitive", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "crw-5224a", "1500", false},
    {"other model", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "CRW-4012A", "1500", false},
    {"family text at characters 3 to 15", "QVXR    CRW-5224A", "1000-1FFF", "ABQVXR", "DVD-ROM 16X", "1500",
     true},
    {"family text, revision outside", "QVXR    CRW-5224A", "1000-1FFF", "ABQVXR", "DVD-ROM 16X", "2000",
     false},
    {"family text at characters 1 to 13 is not it", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "DVD-ROM 16X",
     "1500", false},
    {"family text in small letters", "QVXR    CRW-5224A", "1000-1FFF", "ABQVXR", "dvd-rom 16X", "1500",
     false},
    {"firmware wildcard, identity holds", "QVXR    CRW-5224A", "-AAA--BBB", "QVXR", "CRW-5224A", "zzzz",
     true},
    {"firmware wildcard, identity fails", "QVXR    CRW-5224A", "-AAA--BBB", "QVXR", "CRW-4012A", "1500",
     false},
    {"model wildcard with a firmware range", "--", "1000-1FFF", "QVXR", "CRW-5224A", "0001", true},
    {"lower bound inclusive", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "CRW-5224A", "1000", true},
    {"upper bound inclusive", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "CRW-5224A", "1FFF", true},
    {"one below the lower bound", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "CRW-5224A", "0FFF", false},
    {"one above the upper bound", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "CRW-5224A", "2000", false},
    {"0009 lies below 000A", "QVXR    CRW-5224A", "000A-00FF", "QVXR", "CRW-5224A", "0009", false},
    {"000A lies above 0009", "QVXR    CRW-5224A", "0000-0009", "QVXR", "CRW-5224A", "000A", false},
    {"000A inside 0009-000B", "QVXR    CRW-5224A", "0009-000B", "QVXR", "CRW-5224A", "000A", true},
    {"leading blank lies below a digit", "QVXR    CRW-5224A", "0000-9999", "QVXR", "CRW-5224A", " 999",
     false},
    {"small letter lies above capitals", "QVXR    CRW-5224A", "1000-1FFF", "QVXR", "CRW-5224A", "1fff",
     false},
    {"the separator is never examined", "QVXR    CRW-5224A", "1000X1FFF", "QVXR", "CRW-5224A", "1500", true},
};

TEST_F(DriveList, Eligibility) {
  for (const EligibilityCase& c : kEligibility) {
    SCOPED_TRACE(c.name);
    SimulatedTransport one;
    one.Add(SimDrive("sim0", c.vendor, c.product, c.revision));
    Cddrive::ResetUnit();
    Cddrive::InstallTransport(&one);
    PackageFields fields;
    fields.Inquiry = c.inquiry;
    fields.Range = c.range;
    FormFixture f(MakeFlasherPackage(fields));
    f.Ui.Answers = {DialogResult::Yes};
    f.Create();
    ASSERT_TRUE(f.Form->Drives);
    ASSERT_TRUE(f.Form->Drives->Select(0));
    EXPECT_EQ(f.Form->CheckCondition(), c.eligible);
    EXPECT_EQ(f.Ui.ComboLines.size(), c.eligible ? 1u : 0u);
    EXPECT_EQ(f.Ui.QuitPosted, !c.eligible);
  }
}

TEST_F(DriveList, NoDriveEndsWithTheReport) {
  struct Case {
    PackageFields fields;
    const char* report;
  };
  const Case cases[] = {
      {{},
       "\nERROR:\n\nCan't found CRW-5224A firmware : 1000-1FFF drive !\n"
       "\nThis flash utility only supports CRW-5224A firmware: 1000-1FFF\n"
       "\nCan't find ATAPI Drive !\n"},
      {{"DVD-16", "--", "-AAA--BBB", "Qvxr", "", "2000."},
       "\nERROR:\n\nCan't found DVD-16 drive !\n"
       "\nThis flash utility only supports DVD-16\n"
       "\nCan't find ATAPI Drive !\n"},
      {{"M", "X", "10-2", "v", "", "2000."},
       "\nERROR:\n\nCan't found M firmware :      10-2 drive !\n"
       "\nThis flash utility only supports M firmware:      10-2\n"
       "\nCan't find ATAPI Drive !\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields.Model);
    FormFixture& f = Start(c.fields);
    ASSERT_EQ(f.Ui.Dialogs.size(), 2u);
    EXPECT_EQ(f.Ui.Dialogs[1].Kind, DialogKind::Error);
    EXPECT_EQ(f.Ui.Dialogs[1].Text, c.report);
    EXPECT_TRUE(f.Ui.QuitPosted);
    EXPECT_EQ(f.Ui.QuitCode, 0);
    EXPECT_TRUE(f.Ui.WindowClosed);
    EXPECT_TRUE(f.Ui.ComboLines.empty());
    EXPECT_EQ(f.Ui.ComboSelected, -1);
    EXPECT_FALSE(f.Ui.FileListVisible);
    EXPECT_EQ(f.Ui.Caption, f.Form->VendorText + " Flash Utility V1.050 " + c.fields.Model);
    EXPECT_EQ(f.Form->Drive, nullptr);
    EXPECT_EQ(f.Form->TransferBuffer, nullptr);
    fixture.reset();
  }
}

TEST_F(DriveList, NoneEligibleNamesEveryDrive) {
  AddDrive("QVXR", "CRW-4012A", "1500");
  AddDrive("ACME", "CD-ROM", "0100");
  FormFixture& f = Start();
  ASSERT_EQ(f.Ui.Dialogs.size(), 2u);
  EXPECT_EQ(f.Ui.Dialogs[1].Kind, DialogKind::Error);
  EXPECT_EQ(f.Ui.Dialogs[1].Text,
            "\nERROR:\n\nCan't found CRW-5224A firmware : 1000-1FFF drive !\n"
            "\nThis flash utility only supports CRW-5224A firmware: 1000-1FFF\n"
            "\nDetected drives:\n" +
                kRule +
                "\n"
                "0-0-0 D: QVXR    CRW-4012A       1500\n"
                "0-0-0 D: ACME    CD-ROM          0100\n");
  EXPECT_TRUE(f.Ui.QuitPosted);
  EXPECT_TRUE(f.Ui.WindowClosed);
  EXPECT_TRUE(f.Ui.ComboLines.empty());
  EXPECT_EQ(f.Form->Drive, nullptr);
  fixture.reset();

  // The same drives under a package that names no firmware range.
  Start({"DVD-16", "QVXR    DVD-16", "-AAA--BBB", "Qvxr", "", "2000."});
  EXPECT_EQ(fixture->Ui.Dialogs[1].Text,
            "\nERROR:\n\nCan't found DVD-16 drive !\n"
            "\nThis flash utility only supports DVD-16\n"
            "\nDetected drives:\n" +
                kRule +
                "\n"
                "0-0-0 D: QVXR    CRW-4012A       1500\n"
                "0-0-0 D: ACME    CD-ROM          0100\n");
}

TEST_F(DriveList, OnlyTheSecondOfThreeIsOffered) {
  AddDrive("QVXR", "CRW-4012A", "1500");
  AddDrive("QVXR", "CRW-5224A", "1500");
  AddDrive("QVXR", "CRW-5224A", "3000");
  FormFixture& f = Start();
  ASSERT_EQ(f.Ui.Dialogs.size(), 1u);  // the warning only
  EXPECT_FALSE(f.Ui.QuitPosted);
  EXPECT_EQ(f.Ui.ComboLines, (std::vector<std::string>{"0-0-0 D: QVXR    CRW-5224A       1500"}));
  EXPECT_EQ(f.Ui.ComboSelected, 0);
  EXPECT_EQ(f.Form->DriveIndex[0], 1);
  ASSERT_NE(f.Form->Drive, nullptr);
  EXPECT_EQ(f.Form->Drive, f.Form->Drives->Current);
  EXPECT_EQ(f.Form->Drive->Locator, "sim1");
  EXPECT_EQ(f.Ui.Caption, "QVXR Flash Utility V1.050 CRW-5224A");
  EXPECT_FALSE(f.Ui.FileListVisible);
  EXPECT_TRUE(f.Ui.Messages.empty());

  // The window's transfer buffer is the data buffer of every command now.
  ASSERT_NE(f.Form->TransferBuffer, nullptr);
  EXPECT_EQ(f.Form->TransferBuffer, f.Form->Drive->GetBuffer());
  EXPECT_EQ(Cddrive::Unit().BufferSize, 16384u);
  EXPECT_EQ(f.Form->ImageSize, 4u);  // the image check ran
}

TEST_F(DriveList, ChoosingALineMakesItsDriveCurrent) {
  AddDrive("QVXR", "CRW-5224A", "1000");
  AddDrive("ACME", "CD-ROM", "0100");
  AddDrive("QVXR", "CRW-5224A", "1FFF");
  FormFixture& f = Start();
  ASSERT_EQ(f.Ui.ComboLines.size(), 2u);
  EXPECT_EQ(f.Form->DriveIndex[0], 0);
  EXPECT_EQ(f.Form->DriveIndex[1], 2);
  EXPECT_EQ(f.Form->Drive->Locator, "sim0");
  const std::string caption = f.Ui.Caption;
  const std::string group = f.Ui.Group;

  f.Ui.UserSelectsLine(1);
  EXPECT_EQ(f.Form->Drive->Locator, "sim2");
  EXPECT_EQ(f.Form->Drives->Current, f.Form->Drive);
  EXPECT_EQ(f.Ui.Caption, caption);
  EXPECT_EQ(f.Ui.Group, group);
  EXPECT_TRUE(f.Ui.Dialogs.size() == 1u && f.Ui.Messages.empty());

  // Typing in the edit field, or a line past the filled entries: the drive stays.
  f.Ui.UserTypesInCombo();
  EXPECT_EQ(f.Form->Drive->Locator, "sim2");
  f.Ui.UserSelectsLine(2);
  EXPECT_EQ(f.Form->Drive->Locator, "sim2");
  f.Ui.UserSelectsLine(0);
  EXPECT_EQ(f.Form->Drive->Locator, "sim0");
}

TEST_F(DriveList, AtMostTwentyEligibleDrivesAreOffered) {
  for (int i = 0; i < 23; ++i) AddDrive("QVXR", "CRW-5224A", Format("1%03d", i));
  FormFixture& f = Start();
  ASSERT_EQ(f.Ui.ComboLines.size(), 20u);
  for (int k = 0; k < 20; ++k) EXPECT_EQ(f.Form->DriveIndex[k], k);
  EXPECT_EQ(f.Ui.ComboLines[19], "0-0-0 D: QVXR    CRW-5224A       1019");
  f.Ui.UserSelectsLine(19);
  EXPECT_EQ(f.Form->Drive->Locator, "sim19");
  EXPECT_FALSE(f.Ui.QuitPosted);
}

TEST_F(DriveList, DriveWhoseLineInquiryFailsIsStillOffered) {
  AddDrive("QVXR", "CRW-5224A", "1000");
  SimFault fault;
  fault.Opcode = 0x12;
  fault.Occurrence = 2;  // the INQUIRY of the line, after the one of the enumeration
  fault.Key = 0x05;
  fault.Asc = 0x24;
  sim.Drive(0).Config().Faults = {fault};
  FormFixture& f = Start();
  EXPECT_EQ(f.Ui.ComboLines, (std::vector<std::string>{"0"}));
  EXPECT_EQ(f.Form->Drive->Locator, "sim0");
}

TEST_F(DriveList, UnopenableDriveIsReportedThroughTheWindowAndLeftOut) {
  AddDrive("QVXR", "CRW-5224A", "1000");
  AddDrive("QVXR", "CRW-5224A", "1001");
  AddDrive("QVXR", "CRW-5224A", "1002");
  sim.Drive(1).Config().OpenFails = true;
  sim.Drive(2).Config().InquiryFails = true;
  FormFixture& f = Start();
  EXPECT_EQ(f.Form->Drives->Count(), 1);
  EXPECT_EQ(f.Ui.ComboLines, (std::vector<std::string>{"0-0-0 D: QVXR    CRW-5224A       1000"}));
  // After the failed open every failed command shows its SenseCode message: the
  // failed INQUIRY of the third drive too.
  EXPECT_EQ(f.Ui.Messages, (std::vector<std::string>{
                               "Error opening: 2, Drive: /dev/sim/sim1",
                               "SenseCode: 00 00 00, 00, Error: 2, " + SimError::Text(2),
                               "SenseCode: 05 24 00, 02, Error: 0, " + SimError::Text(0),
                           }));
}

}  // namespace
