// The model list file: where it is, which sections make models, what a missing
// value is, the stored lengths, the error messages, and how the INI reader reads.
#include <gtest/gtest.h>

#include "builder/Builder.h"
#include "common/Text.h"
#include "tests/BuilderSupport.h"

namespace {

std::string Section(int n, const std::string& model = "M", const std::string& extra = "") {
  return Format("[MODEL%02d]\n", n) + "Model=" + model + "\nInquiry=I" + std::to_string(n) + "\nFW-Range=R" +
         std::to_string(n) + "\nBINMask=*.B" + std::to_string(n) + "\nVendor=V\nNote=N\n" + extra;
}

std::string Sections(int from, int to) {
  std::string text;
  for (int n = from; n <= to; ++n) text += Section(n);
  return text;
}

TEST(ModelListPath, ExtensionReplacedOrAdded) {
  const struct {
    const char* program;
    const char* list;
  } cases[] = {
    {"/opt/flash/FLASH.EXE", "/opt/flash/FLASH.INI"},
    {"/opt/flash/flashutil-sim", "/opt/flash/flashutil-sim.INI"},
    {"/opt/a.b/prog", "/opt/a.b/prog.INI"},
    {"/x/prog.tar.exe", "/x/prog.tar.INI"},
    {"dir/.hidden", "dir/.hidden.INI"},  // a leading dot starts no extension
#if defined(_WIN32)
    {"C:\\A.B\\PROG", "C:\\A.B\\PROG.INI"},
    {"C:\\FLASH\\PROG.EXE", "C:\\FLASH\\PROG.INI"},
    {"D:\\x.y/prog", "D:\\x.y/prog.INI"},
    {"C:PROG.EXE", "C:PROG.INI"},
#endif
  };
  for (const auto& c : cases) EXPECT_EQ(ModelListPath(c.program), c.list) << c.program;
}

struct ListCase {
  const char* name;
  std::string file;
  int models;           // -1: the start-up fails
  const char* stopped;  // the section the error message names
};

TEST(ModelList, WhichSectionsMakeModels) {
  const ListCase cases[] = {
      {"three models", Sections(0, 2), 3, ""},
      {"one model", Sections(0, 0), 1, ""},
      {"a gap ends the list", Sections(0, 1) + Section(3), 2, ""},
      {"an incomplete section after complete ones",
       Sections(0, 4) + "[MODEL05]\nModel=M\nInquiry=I\nFW-Range=R\nBINMask=*\nVendor=V\n", -1, "MODEL05"},
      {"FAIL counts as missing",
       "[MODEL00]\nModel=M\nInquiry=I\nFW-Range=FAIL\nBINMask=*\nVendor=V\nNote=N\n", -1, "MODEL00"},
      {"a Model of FAIL ends the list before it begins", Section(0, "FAIL"), -1, "MODEL00"},
      {"fail in small letters is a value", Section(0, "fail"), 1, ""},
      {"an empty value is present", "[MODEL00]\nModel=M\nInquiry=\nFW-Range=\nBINMask=\nVendor=\nNote=\n", 1,
       ""},
      {"one hundred sections", Sections(0, 99), 100, ""},
      {"an empty file", "", -1, "MODEL00"},
      {"no MODEL00", Sections(1, 3), -1, "MODEL00"},
      {"other section names are ignored", "[MODEL0]\nModel=x\n[MODELS]\nModel=y\n" + Sections(0, 0), 1, ""},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    BuilderFixture f(c.file);
    f.Start();
    if (c.models < 0) {
      EXPECT_EQ(f.Ui.Messages,
                std::vector<std::string>{f.Dir / "FLASH.INI" + " > Session " + c.stopped + " error!"});
      EXPECT_TRUE(f.Ui.QuitPosted);
      EXPECT_EQ(f.Ui.QuitCode, 0);
      EXPECT_TRUE(f.Ui.WindowClosed);
      EXPECT_EQ(f.Ui.ButtonCaption, "FLASH");  // the start-up stopped after the reading
      EXPECT_EQ(f.Ui.Label, "");
      continue;
    }
    EXPECT_TRUE(f.Ui.Messages.empty());
    EXPECT_FALSE(f.Ui.QuitPosted);
    EXPECT_EQ(f.Ui.ComboCount(), c.models);
    EXPECT_EQ(f.Ui.ComboSelected, 0);
    EXPECT_EQ(f.Ui.Label, "Select Model: ");
    EXPECT_EQ(f.Ui.ButtonCaption, "Build");
    EXPECT_FALSE(f.Ui.ButtonEnabled);
    EXPECT_TRUE(f.Ui.FileListVisible);
  }
}

TEST(ModelList, IncompleteSectionStillAppendsItsValues) {
  // Index k of every list belongs to section k; the values of the section at
  // which reading stopped are there as read, FAIL included.
  BuilderFixture f(Section(0) + "[MODEL01]\nModel=Long model name of thirty chars\nInquiry=I\n");
  f.Start();
  ASSERT_EQ(f.Form.ModelList->size(), 2u);
  EXPECT_EQ((*f.Form.ModelList)[1], "Long model name of thirty chars");
  EXPECT_EQ((*f.Form.FwRangeList)[1], "FAIL");
  EXPECT_EQ((*f.Form.NoteList)[1], "FAIL");
  EXPECT_EQ(f.Ui.ComboCount(), 1);
}

TEST(ModelList, StoredLengthsAndComboLines) {
  const std::string model30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
  const std::string inquiry16 = "QVXR    CRW-5224";
  const std::string range30 = "1000-1FFF and more words here";
  BuilderFixture f("[MODEL00]\nModel=" + model30 + "\nInquiry=" + inquiry16 + "\nFW-Range=" + range30 +
                   "\nBINMask=*.BIN;*.HEX and a mask longer than twenty-four\nVendor=" + model30 +
                   "\nNote=" + model30 + "\n" + "[MODEL01]\nModel=M\nInquiry=" + model30 +
                   "\nFW-Range=R\nBINMask=*\nVendor=V\nNote=N\n");
  f.Start();
  const TFlashForm& form = f.Form;
  EXPECT_EQ((*form.ModelList)[0], model30.substr(0, 24));
  EXPECT_EQ((*form.InquiryList)[0], inquiry16 + "        ");
  EXPECT_EQ((*form.InquiryList)[1], model30.substr(0, 24));
  EXPECT_EQ((*form.FwRangeList)[0], range30.substr(0, 24));
  EXPECT_EQ((*form.VendorList)[0], model30.substr(0, 24));
  EXPECT_EQ((*form.NoteList)[0], model30.substr(0, 24));
  EXPECT_EQ((*form.BinMaskList)[0], "*.BIN;*.HEX and a mask longer than twenty-four");
  EXPECT_EQ(f.Ui.ComboLines, (std::vector<std::string>{range30 + " " + inquiry16, "R " + model30}));
  // Entry 0 is chosen: its mask and its range in the caption.
  EXPECT_EQ(form.FileListBox1.Mask(), (*form.BinMaskList)[0]);
  EXPECT_EQ(f.Ui.Caption, " Flash Utility V1.050 " + range30.substr(0, 24) + " [Buiding]");
}

TEST(ModelList, NoFileNamesThePath) {
  for (const char* program : {"FLASH.EXE", "flashutil-sim"}) {
    BuilderFixture f("", program);
    std::filesystem::remove(ModelListPath(f.Ui.ProgramPath));
    f.Start();
    EXPECT_EQ(f.Ui.Messages, std::vector<std::string>{"Can't load " + ModelListPath(f.Ui.ProgramPath)});
    EXPECT_TRUE(f.Ui.QuitPosted);
    EXPECT_EQ(f.Ui.QuitCode, 0);
    EXPECT_TRUE(f.Ui.WindowClosed);
    EXPECT_EQ(f.Ui.ComboCount(), 0);
  }
  BuilderFixture lost;  // the program's own file cannot be found: nor can the list beside it
  lost.Ui.ProgramPath.clear();
  lost.Start();
  EXPECT_EQ(lost.Ui.Messages, std::vector<std::string>{"Can't load the model list: this program cannot find "
                                                       "its own file, beside which the list lies."});
}

TEST(ModelList, ADirectoryInPlaceOfTheFileCannotBeLoaded) {
  BuilderFixture f;
  const std::string path = ModelListPath(f.Ui.ProgramPath);
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  f.Start();
  EXPECT_EQ(f.Ui.Messages, std::vector<std::string>{"Can't load " + path});
#if defined(__linux__)
  // A device that never ends is read only as far as a model list may reach.
  BuilderFixture endless;
  const std::string zero = ModelListPath(endless.Ui.ProgramPath);
  std::filesystem::remove(zero);
  std::filesystem::create_symlink("/dev/zero", zero);
  endless.Start();
  EXPECT_EQ(endless.Ui.Messages, std::vector<std::string>{"Can't load " + zero});
#endif
}

// How the INI reader reads a model list file (the choices are the Windows INI
// reader's, so one file gives the same models on both systems).
TEST(IniReader, BlanksCommentsQuotesCaseAndLineForms) {
  ScratchDir dir;
  const std::string path = dir / "list.INI";
  WriteText(path,
            "; a comment\r\n"
            "# another comment\r\n"
            "[ MODEL00 ]\r\n"
            "Model =   CRW 5224A   \r\n"
            "  Inquiry=QVXR    CRW-5224A ; kept\r\n"
            "FW-Range=1000-1FFF#kept\r\n"
            "vendor=\"  Qvxr  \"\r\n"
            "Note=\r\n"
            "Note=second\r\n"
            "a line without an equals sign\r\n"
            "BINMask='*.BIN'\r\n"
            "Long=" +
                std::string(5000, 'x') +
                "\r\n"
                "[model01]\nMODEL=lower\n"
                "[MODEL03]\nNote=" +
                std::string(65530, 'x') + "Model=split\r\nBig=" + std::string(300000, 'y') +
                "\r\n"
                // Last: what a NUL does is the reader's own.
                "[MODEL04]\nNul=ab" +
                std::string(1, '\0') + std::string(192, 'z') + "Model=nul\n");
  auto reader = MakeIniReader();
  ASSERT_TRUE(reader->Open(path));
  const struct {
    const char* section;
    const char* key;
    std::string value;
  } cases[] = {
      {"MODEL00", "Model", "CRW 5224A"},                     // blanks around dropped, inside kept
      {"MODEL00", "Inquiry", "QVXR    CRW-5224A ; kept"},    // indented line is a key; no end-of-line comment
      {"MODEL00", "FW-Range", "1000-1FFF#kept"},             // '#' inside a value is the value's
      {"MODEL00", "Vendor", "  Qvxr  "},                     // quotes keep the blanks, and go
      {"MODEL00", "Note", ""},                               // empty and present; the first value counts
      {"MODEL00", "BINMask", "*.BIN"},                       // single quotes as well
      {"MODEL00", "Long", std::string(5000, 'x')},           // read whole
      {"Model01", "model", "lower"},                         // names match without regard to case
      {"MODEL00", "; a comment", "FAIL"},                    // comments are no keys
      {"MODEL00", "a line without an equals sign", "FAIL"},  // nor are malformed lines
      {"MODEL02", "Model", "FAIL"},                          // absent: the default
      {"MODEL03", "Note", std::string(65530, 'x') + "Model=split"},  // long lines are read whole,
      {"MODEL03", "Model", "FAIL"},                                  // never in pieces
      {"MODEL03", "Big", std::string(300000, 'y')},
  };
  for (const auto& c : cases) {
    const std::string value = reader->ReadString(c.section, c.key, "FAIL");
    EXPECT_TRUE(value == c.value) << c.section << " " << c.key << ": " << value.substr(0, 60) << " ("
                                  << value.size() << " bytes)";
  }
#if !defined(_WIN32)
  EXPECT_EQ(reader->ReadString("MODEL04", "Nul", "FAIL"), "ab");  // a NUL ends its line's text
  EXPECT_EQ(reader->ReadString("MODEL04", "Model", "FAIL"), "FAIL");
#endif
  reader->Close();
  EXPECT_EQ(reader->ReadString("MODEL00", "Model", "FAIL"), "FAIL");
  EXPECT_FALSE(reader->Open(dir / "missing.INI"));
}

}  // namespace
