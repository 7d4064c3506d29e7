// Start-up: the mode test, the flasher texts and the warning, ending on No.
#include <gtest/gtest.h>

#include "common/Text.h"
#include "tests/Support.h"

namespace {

TEST(ModeTest, SentinelDecidesWhateverTheRecordHolds) {
  auto package = MakeFlasherPackage();
  EXPECT_FALSE(IsTemplatePackage(*package));
  std::memcpy(package->ImageArea, "ZARN", 4);
  EXPECT_TRUE(IsTemplatePackage(*package));  // record filled in, still a template
  package->ImageArea[3] = 'n';
  EXPECT_FALSE(IsTemplatePackage(*package));
  EXPECT_TRUE(IsTemplatePackage(*MakeTemplatePackage()));
  EXPECT_TRUE(IsTemplatePackage(EmbeddedPackage()));  // the program as built
}

TEST(StartUp, TemplateShowsTheWorkingDirectoryAndNoDialog) {
  FormFixture f(MakeTemplatePackage());
  f.Ui.WorkingDirectory = "/tmp";
  f.Create();
  EXPECT_TRUE(f.Form->TemplateMode);
  EXPECT_EQ(f.Ui.Caption, " Flash Utility V1.050 ");
  EXPECT_EQ(f.Form->StartDir, "/tmp");
  EXPECT_EQ(f.Form->FileListBox1.Directory(), "/tmp");
  EXPECT_TRUE(f.Ui.Dialogs.empty() || f.Ui.Dialogs[0].Kind == DialogKind::Error);
}

struct WarningCase {
  const char* name;
  PackageFields fields;
  const char* vendorText;
  const char* rangeText;
  const char* rangeLow;
  const char* rangeHigh;
  const char* warning;
};

const WarningCase kWarningCases[] = {
    {"range named, vendor upper-cased, model keeps case",
     {"Crw-5224a", "QVXR    CRW-5224A", "1000-1FFF", "qvxr", "", "2000."},
     "QVXR",
     "1000-1FFF",
     "1000",
     "1FFF",
     "\nWARNING:\n\nThis flash utility only supports QVXR Crw-5224a drive with firmware:1000-1FFF"
     "\nPlease REMOVE disc and close all applications before run this utility! "
     "\nDon't turn off the system while the flash is in progress!\n\nDo you wish to continue?\n"},
    {"no range: first and sixth characters are hyphens",
     {"DVD-16", "--", "-AAA--BBB", "Qvxr", "", "2000."},
     "QVXR",
     "-AAA--BBB",
     "-AAA",
     "-BBB",
     "\nWARNING:\n\nThis flash utility only supports QVXR DVD-16 drive. "
     "\nPlease REMOVE disc and close all applications before run this utility!"
     "\nDon't turn off the system while flash is in progress! \n\nDo you wish to continue?\n"},
    {"short range is right-aligned",
     {"M", "X", "10-2", "v", "", "2000."},
     "V",
     "     10-2",
     "10-2",
     "    ",
     "\nWARNING:\n\nThis flash utility only supports V M drive with firmware:     10-2"
     "\nPlease REMOVE disc and close all applications before run this utility! "
     "\nDon't turn off the system while the flash is in progress!\n\nDo you wish to continue?\n"},
    {"changing the sixth character gives the range form",
     {"M", "X", "-AAA-+BBB", "v", "", "2000."},
     "V",
     "-AAA-+BBB",
     "-AAA",
     "+BBB",
     "\nWARNING:\n\nThis flash utility only supports V M drive with firmware:-AAA-+BBB"
     "\nPlease REMOVE disc and close all applications before run this utility! "
     "\nDon't turn off the system while the flash is in progress!\n\nDo you wish to continue?\n"},
};

TEST(StartUp, FlasherTextsAndWarningEndOnNoBeforeAnyDrive) {
  for (const WarningCase& c : kWarningCases) {
    SCOPED_TRACE(c.name);
    FormFixture f(MakeFlasherPackage(c.fields));
    f.Ui.Answers = {DialogResult::No};
    f.Create();
    EXPECT_FALSE(f.Form->TemplateMode);
    EXPECT_EQ(f.Form->VendorText, c.vendorText);
    EXPECT_EQ(f.Form->ModelText, c.fields.Model);
    EXPECT_EQ(f.Form->RangeText, c.rangeText);
    EXPECT_EQ(f.Form->RangeLow, c.rangeLow);
    EXPECT_EQ(f.Form->RangeHigh, c.rangeHigh);
    EXPECT_EQ(f.Form->InquiryText, Format("%-24.24s", c.fields.Inquiry.c_str()));
    EXPECT_EQ(f.Ui.Label, std::string("Select the ") + c.vendorText + " drive you want to update:");
    ASSERT_EQ(f.Ui.Dialogs.size(), 1u);
    EXPECT_EQ(f.Ui.Dialogs[0].Kind, DialogKind::Warning);
    EXPECT_EQ(f.Ui.Dialogs[0].Text, c.warning);
    EXPECT_TRUE(f.Ui.QuitPosted);
    EXPECT_EQ(f.Ui.QuitCode, 0);
    EXPECT_TRUE(f.Ui.WindowClosed);
    EXPECT_FALSE(f.Form->Drives);  // no drive was enumerated
    EXPECT_EQ(f.Ui.Caption, " Flash Utility V1.050 ");
  }
}

TEST(StartUp, ClosingTheWarningCountsAsNo) {
  FormFixture f(MakeFlasherPackage());
  f.Ui.Answers = {DialogResult::Closed};
  f.Create();
  EXPECT_TRUE(f.Ui.QuitPosted);
  EXPECT_FALSE(f.Form->Drives);
}

TEST(StartUp, RangeBoundsNeverReadPastTheTerminator) {
  // The bytes after the field's terminator carry no meaning: a stale "-9999"
  // behind a short range must not become the upper bound or a wildcard.
  auto package = MakeFlasherPackage({"M", "X", "-", "v", "", "2000."});
  std::memcpy(package->FirmwareRange + 2, "AB-9999", 7);
  FormFixture f(std::move(package));
  f.Create();
  EXPECT_EQ(f.Form->RangeHigh, "    ");
  EXPECT_EQ(f.Form->RangeLow, "   -");
  EXPECT_FALSE(f.Form->NamesNoFirmwareRange());
}

TEST(RunApplication, FlasherDeclinedEndsWithExitCodeZeroAndNoWindow) {
  RecordingToolkit ui;
  auto package = MakeFlasherPackage();
  EXPECT_EQ(RunApplication(ui, *package, {}), 0);
  EXPECT_EQ(ui.ApplicationTitle, "Windows Flash utility");
  EXPECT_TRUE(ui.QuitPosted);
  EXPECT_FALSE(ui.WindowShown);
}

}  // namespace
