// Choosing a model narrows the file list to its firmware files and disables
// "Build"; choosing a file enables it.
#include <gtest/gtest.h>

#include "tests/BuilderSupport.h"

namespace {

struct SelectionFixture : BuilderFixture {
  SelectionFixture() {
    for (const char* name : {"1A2B.BIN", "1A2C.BIN", "OTHER.DVD", "readme.txt"}) WriteText(Dir / name, name);
    std::filesystem::create_directory(Dir / "DIR.BIN");  // no plain file: never listed
    Start();
  }
};

TEST(FileSelection, StartShowsTheFirstModelsFilesWithBuildDisabled) {
  SelectionFixture f;
  EXPECT_EQ(f.Form.FileListBox1.Mask(), "*.BIN");
  EXPECT_EQ(f.Ui.Files, (std::vector<std::string>{"1A2B.BIN", "1A2C.BIN"}));
  EXPECT_EQ(f.Form.FileListBox1.Chosen(), -1);
  EXPECT_FALSE(f.Ui.ButtonEnabled);
  EXPECT_EQ(f.Ui.Caption, " Flash Utility V1.050 1000-1FFF [Buiding]");
  EXPECT_EQ(f.Form.FirmwareFileName, "");
}

TEST(FileSelection, ClickingAFileEnablesBuildUntilTheModelChanges) {
  SelectionFixture f;
  f.Ui.UserClicksFile("1A2C.BIN");
  EXPECT_EQ(f.Form.FirmwareFileName, "1A2C.BIN");  // the name without its directory
  EXPECT_TRUE(f.Ui.ButtonEnabled);

  const int updates = f.Ui.FileListUpdates;
  f.Ui.UserSelectsLine(1);
  EXPECT_EQ(f.Form.FileListBox1.Mask(), "*.DVD");
  EXPECT_EQ(f.Ui.FileListUpdates, updates + 1);
  EXPECT_EQ(f.Ui.Files, std::vector<std::string>{"OTHER.DVD"});
  EXPECT_EQ(f.Form.FileListBox1.Chosen(), -1);
  EXPECT_FALSE(f.Ui.ButtonEnabled);
  EXPECT_EQ(f.Ui.Caption, " Flash Utility V1.050 -AAA--BBB [Buiding]");
  EXPECT_EQ(f.Form.FirmwareFileName, "1A2C.BIN");  // kept across model changes

  // The same model again still reads the directory again.
  f.Ui.UserClicksFile("OTHER.DVD");
  f.Ui.UserSelectsLine(1);
  EXPECT_EQ(f.Ui.FileListUpdates, updates + 2);
  EXPECT_FALSE(f.Ui.ButtonEnabled);
}

TEST(FileSelection, AMaskThatMatchesNothingLeavesBuildDisabled) {
  SelectionFixture f;
  f.Ui.UserSelectsLine(2);
  EXPECT_TRUE(f.Ui.Files.empty());
  EXPECT_FALSE(f.Ui.ButtonEnabled);
}

TEST(FileSelection, TextTypedInTheComboSelectsNoModelAndNothingIsBuilt) {
  SelectionFixture f;
  f.Ui.UserClicksFile("1A2B.BIN");
  f.Ui.UserTypesInCombo();
  EXPECT_FALSE(f.Ui.ButtonEnabled);
  EXPECT_EQ(f.Form.FileListBox1.Mask(), "*.BIN");  // the file list stays as it was
  // A file clicked now enables the button, but a build without a model refuses.
  f.Ui.UserClicksFile("1A2B.BIN");
  const auto before = f.Dir.Names();
  EXPECT_FALSE(f.Form.NewBuildFlashProgram());
  EXPECT_EQ(f.Ui.Messages, std::vector<std::string>{"Building fail: no model is selected"});
  EXPECT_EQ(f.Dir.Names(), before);
}

}  // namespace
