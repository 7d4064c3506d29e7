// Stamping byte for byte on a synthetic program file: only the record and the
// first N bytes of the image area change; failures replace nothing and leave
// nothing behind.
#include <gtest/gtest.h>

#include <csignal>

#include "builder/PeChecksum.h"
#include "tests/BuilderSupport.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

struct Model {
  std::string Name, Inquiry, Range, Vendor, Note;
};
// Two models whose masks take every file, and how they are stored.
const std::string kAnyFile =
    "[MODEL00]\nModel=CRW-5224A\nInquiry=QVXR    CRW-5224A\nFW-Range=1000-1FFF\nBINMask=*\nVendor=Qvxr\n"
    "Note=\n"
    "[MODEL01]\nModel=DVD-16\nInquiry=--\nFW-Range=-AAA--BBB\nBINMask=*\nVendor=qvxr\nNote=FLASH-ALL "
    "please\n";
const Model kModel0 = {"CRW-5224A", "QVXR    CRW-5224A       ", "1000-1FFF", "Qvxr", ""};
const Model kModel1 = {"DVD-16", "--                      ", "-AAA--BBB", "qvxr", "FLASH-ALL please"};

// The 137 record bytes as a flash program reads them.
Bytes ExpectedRecord(const Model& m, const std::string& firmwareName, std::uint32_t n) {
  Bytes record(kModelRecordSize, 0);
  const std::string* texts[] = {&m.Name, &m.Inquiry, &m.Range, &m.Vendor, &m.Note};
  for (std::size_t i = 0; i < 5; ++i) std::copy(texts[i]->begin(), texts[i]->end(), record.begin() + 25 * i);
  std::copy(firmwareName.begin(), firmwareName.end(), record.begin() + 125);
  for (int i = 0; i < 4; ++i) record[133 + i] = static_cast<std::uint8_t>(n >> (8 * i));
  return record;
}

Bytes ExpectedProgram(const ProgramImage& program, const Model& m, const std::string& firmwareName,
                      const Bytes& image) {
  Bytes expected = program.File;
  const Bytes record = ExpectedRecord(m, firmwareName, static_cast<std::uint32_t>(image.size()));
  std::copy(record.begin(), record.end(), expected.begin() + program.RecordAt());
  std::copy(image.begin(), image.end(), expected.begin() + program.ImageAt());
  return expected;
}

// The progress steps, one for every program position j that is a multiple of
// 1024, counted the way the copy goes: up to the keyword's end K, the image in
// whole units, then from K + 137 + N up to the length less two.
int ExpectedSteps(std::size_t keywordEnd, std::size_t n, std::size_t length) {
  int steps = 0;
  for (std::size_t j = 0; j <= keywordEnd; ++j) steps += j % 1024 == 0;
  steps += static_cast<int>(n / 1024);
  for (std::size_t j = keywordEnd + 137 + n; j + 1 < length; ++j) steps += j % 1024 == 0;
  return steps;
}

struct StampFixture : BuilderFixture {
  ProgramImage Program;

  explicit StampFixture(ProgramImage program = MakeProgramImage(), const std::string& list = kAnyFile,
                        const std::string& programName = "FLASH.EXE")
      : BuilderFixture(list, programName), Program(std::move(program)) {
    WriteFile(Ui.ProgramPath, Program.File);
    Start();
  }

  // Puts a firmware file in the directory, chooses the model and the file, and
  // presses "Build".
  void Build(const std::string& name, const Bytes& image, int model = 0) {
    WriteFile(Dir / name, image);
    Ui.UserSelectsLine(model);
    Ui.UserClicksFile(name);
    Ui.GroupHistory.clear();
    Ui.ProgressHistory.clear();
    Ui.UserPressesButton();
  }
};

TEST(Stamping, OnlyTheRecordAndTheImageBytesChange) {
  const struct {
    const char* file;
    std::size_t size;
    const char* output;
    const char* firmwareName;  // as stored, five bytes at most
  } cases[] = {
      {"1A2B.BIN", 1000, "1A2B.EXE", "1A2B."},
      {"2000.bin", 0, "2000.EXE", "2000."},  // the result is a template again
      {"1.bin", 1, "1.bi.EXE", "1.BIN"},     // a short stem gives its point and extension
      {"ab.b", 2, "ab.b.EXE", "AB.B"},
      {"x", 3, "   x.EXE", "X"},                          // "%4.4s" pads a name shorter than four on the left
      {"Full.Bin", kImageAreaSize, "Full.EXE", "FULL."},  // the whole image area
      {"odd5.bin", 16385, "odd5.EXE", "ODD5."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    StampFixture f;
    Bytes image = Filler(c.size, 7);
    for (std::size_t i = 0; i < image.size() && i < 3; ++i) image[i] = static_cast<std::uint8_t>(i + 1);
    f.Build(c.file, image);

    EXPECT_TRUE(f.Ui.AllDialogTexts().empty());
    const Bytes out = ReadFile(f.Dir / c.output);
    ASSERT_EQ(out.size(), f.Program.File.size());
    EXPECT_TRUE(out == ExpectedProgram(f.Program, kModel0, c.firmwareName, image));
    FlashPackage stamped;
    std::memcpy(&stamped, out.data() + f.Program.KeywordAt, sizeof stamped);
    EXPECT_EQ(IsTemplatePackage(stamped), c.size == 0);

    EXPECT_EQ(f.Form.ImageSize, c.size);
    EXPECT_GE(f.Form.ImageBuffer.size(), c.size);
    EXPECT_EQ(f.Ui.GroupHistory,
              (std::vector<std::string>{std::string("Building ") + c.file + "  Please wait... ",
                                        std::string("Build ") + c.output + " complete!"}));
    EXPECT_EQ(f.Ui.ProgressMax, static_cast<int>(out.size()));
    ASSERT_FALSE(f.Ui.ProgressHistory.empty());
    EXPECT_EQ(f.Ui.ProgressHistory.back(), 0);
    EXPECT_EQ(*std::max_element(f.Ui.ProgressHistory.begin(), f.Ui.ProgressHistory.end()),
              1024 * ExpectedSteps(f.Program.KeywordAt + kKeywordSize - 1, c.size, out.size()));
    EXPECT_EQ(f.Ui.Cursors, (std::vector<CursorShape>{CursorShape::Hourglass, CursorShape::Default}));
    EXPECT_EQ(f.Ui.WorkSpells, 1);
    EXPECT_FALSE(f.Ui.Working);
    std::vector<std::string> names = {c.file, c.output, "FLASH.EXE", "FLASH.INI"};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(f.Dir.Names(), names) << "no file but the new program is left";
  }
}

#if defined(_WIN32)
// The built template carries the linker's checksum, a program stamped from it its own.
TEST(Stamping, AWindowsProgramCarriesTheChecksumOfItsOwnBytes) {
  const auto checksums = [](const Bytes& file) {  // stored and computed
    const std::uint64_t field = PeChecksum::FieldOffset(file.data(), file.size(), file.size()).value_or(0);
    PeChecksum checksum(field);
    checksum.Add(0, file.data(), file.size());
    std::uint32_t stored = 0;
    std::memcpy(&stored, &file[field], sizeof stored);
    return std::pair{stored, checksum.Value(file.size())};
  };
  const Bytes program = ReadFile(FLASHUTIL_SIM_PROGRAM);
  EXPECT_EQ(checksums(program).first, checksums(program).second);
  StampFixture f(ProgramImage{program});
  f.Build("1A2B.BIN", Filler(1000, 7));
  const auto [stored, computed] = checksums(ReadFile(f.Dir / "1A2B.EXE"));
  EXPECT_EQ(stored, computed);
}
#endif

TEST(Stamping, SecondBuildReplacesTheFirstAndOthersStayIndependent) {
  StampFixture f;
  const Bytes first = Filler(4000, 11), second = Filler(300, 12), third = Filler(70000, 13);
  f.Build("1A2B.BIN", first, 0);
  f.Build("1A2B.BIN", second, 1);
  EXPECT_TRUE(ReadFile(f.Dir / "1A2B.EXE") == ExpectedProgram(f.Program, kModel1, "1A2B.", second));
  f.Build("1A2C.DVD", third, 1);
  EXPECT_TRUE(ReadFile(f.Dir / "1A2C.EXE") == ExpectedProgram(f.Program, kModel1, "1A2C.", third));
  EXPECT_TRUE(ReadFile(f.Dir / "1A2B.EXE") == ExpectedProgram(f.Program, kModel1, "1A2B.", second));
  EXPECT_TRUE(ReadFile(f.Ui.ProgramPath) == f.Program.File);  // the template is only read
}

TEST(Stamping, KeywordIsFoundBehindPartsOfItself) {
  const Bytes keyword = KeywordBytes();
  const Bytes lookalikes[] = {
      Bytes(keyword.begin(), keyword.begin() + 1),  // its first character
      Bytes(keyword.begin(), keyword.begin() + 2),  // "Q5" then "Q517..."
      Bytes(keyword.begin(), keyword.end() - 2),    // all but the last two
      [&] {
        Bytes b(keyword.begin(), keyword.end() - 1);
        b.push_back('X');
        return b;
      }(),  // wrong end
  };
  for (const Bytes& lookalike : lookalikes) {
    SCOPED_TRACE(std::string(lookalike.begin(), lookalike.end()));
    Bytes before = Filler(3000, 5);
    before.insert(before.end(), lookalike.begin(), lookalike.end());
    StampFixture f(MakeProgramImage(before));
    const Bytes image = Filler(2048, 9);
    f.Build("1A2B.BIN", image);
    EXPECT_TRUE(ReadFile(f.Dir / "1A2B.EXE") == ExpectedProgram(f.Program, kModel0, "1A2B.", image));
  }
}

TEST(Stamping, ExecutePermissionFollowsTheTemplate) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows programs carry no execute permission";
#endif
  constexpr auto kExecute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  for (const auto mode : {fs::perms(0755), fs::perms(0710), fs::perms(0640)}) {
    StampFixture f;
    fs::permissions(f.Ui.ProgramPath, mode);
    f.Build("1A2B.BIN", Filler(10, 1));
    const fs::perms stamped = fs::status(f.Dir / "1A2B.EXE").permissions();
    EXPECT_EQ(stamped & kExecute, mode & kExecute);
    EXPECT_EQ(stamped & fs::perms::owner_write, fs::perms::owner_write);  // the user's file, as any new one
  }
}

TEST(Stamping, ImageEndingAtTheLastByteOfTheFileIsBuilt) {
  ProgramImage program = MakeProgramImage();
  program.File.resize(program.ImageAt() + 1000);
  StampFixture f(program);
  const Bytes image = Filler(1000, 8);
  f.Build("1A2B.BIN", image);
  EXPECT_TRUE(ReadFile(f.Dir / "1A2B.EXE") == ExpectedProgram(f.Program, kModel0, "1A2B.", image));
}

TEST(Stamping, WhatHasTheWorkFileNameIsLeftAlone) {
  const struct {
    const char* name;
    bool link;          // a link to nowhere, else a file of the user's
    bool olderProgram;  // 1A2B.EXE exists and is replaced
  } cases[] = {{"file", false, false},
               {"file, older program", false, true},
               {"dangling link", true, false},
               {"dangling link, older program", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
#if defined(_WIN32)
    if (c.link) continue;  // no links for a user to make
#endif
    StampFixture f;
    const std::string work = f.Dir / "1A2B.EXE.building";
    if (c.link) fs::create_symlink(f.Dir / "nowhere", work);
    if (!c.link) WriteText(work, "the user's");
    if (c.olderProgram) WriteText(f.Dir / "1A2B.EXE", "an older program");
    const Bytes image = Filler(10, 1);
    f.Build("1A2B.BIN", image);
    EXPECT_TRUE(f.Ui.AllDialogTexts().empty());
    EXPECT_TRUE(ReadFile(f.Dir / "1A2B.EXE") == ExpectedProgram(f.Program, kModel0, "1A2B.", image));
    EXPECT_EQ(f.Dir.Names(), (std::vector<std::string>{"1A2B.BIN", "1A2B.EXE", "1A2B.EXE.building",
                                                       "FLASH.EXE", "FLASH.INI"}));
    if (c.link) {
      EXPECT_EQ(fs::read_symlink(work), f.Dir / "nowhere");
    } else {
      EXPECT_EQ(ReadFile(work), Bytes({'t', 'h', 'e', ' ', 'u', 's', 'e', 'r', '\'', 's'}));
    }
  }
}

TEST(Stamping, TemplateOnAnotherFileSystemGivesTheSameBytes) {
#if defined(_WIN32)
  GTEST_SKIP() << "the copy goes through the program on Windows anyway";
#endif
  // The kernel cannot copy between two file systems: the bytes go through the program.
  const fs::path elsewhere =
      fs::path("/dev/shm") / ("flashutil-stamping-" + std::to_string(std::random_device()()));
  std::error_code error;
  if (!fs::create_directory(elsewhere, error)) GTEST_SKIP() << "no second file system at /dev/shm";
  for (const std::size_t size : {std::size_t{0}, std::size_t{70000}, kImageAreaSize}) {
    StampFixture f(MakeProgramImage(Filler(9000, 1), 3 << 20));
    f.Ui.ProgramPath = (elsewhere / "FLASH.EXE").string();
    WriteFile(f.Ui.ProgramPath, f.Program.File);
    const Bytes image = Filler(size, 6);
    f.Build("1A2B.BIN", image);
    EXPECT_TRUE(f.Ui.AllDialogTexts().empty());
    EXPECT_TRUE(ReadFile(f.Dir / "1A2B.EXE") == ExpectedProgram(f.Program, kModel0, "1A2B.", image));
  }
  fs::remove_all(elsewhere, error);
}

#if defined(__linux__)
// A build that runs out of room midway, in a child process limited in the size
// of the files it writes: the write fails (the signal for it ignored) or the
// signal ends the process.
TEST(Stamping, ABuildFailingOrKilledMidwayLeavesNothing) {
  const struct {
    const char* name;
    rlim_t limit;  // the program is about 530 000 bytes long
    bool killed;
  } cases[] = {{"while the image is written", 50000, false},
               {"while the kernel copies", 300000, false},
               {"killed while the kernel copies", 300000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StampFixture f;
    WriteText(f.Dir / "1A2B.EXE", "an older program");
    WriteFile(f.Dir / "1A2B.BIN", Filler(100000, 3));
    f.Ui.UserSelectsLine(0);
    f.Ui.UserClicksFile("1A2B.BIN");
    const auto names = f.Dir.Names();

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      const rlimit size = {c.limit, c.limit}, core = {0, 0};
      setrlimit(RLIMIT_CORE, &core);
      setrlimit(RLIMIT_FSIZE, &size);
      std::signal(SIGXFSZ, c.killed ? SIG_DFL : SIG_IGN);
      const bool failed =
          !f.Form.NewBuildFlashProgram() && f.Ui.Messages == std::vector<std::string>{"Write 1A2B.EXE Fail"};
      _exit(failed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(c.killed ? WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ
                         : WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status;
    EXPECT_EQ(f.Dir.Names(), names);
    EXPECT_EQ(ReadFile(f.Dir / "1A2B.EXE"),
              Bytes({'a', 'n', ' ', 'o', 'l', 'd', 'e', 'r', ' ', 'p', 'r', 'o', 'g', 'r', 'a', 'm'}));
  }
}
#endif

struct FailureCase {
  const char* name;
  ProgramImage program;
  std::size_t imageSize;
  void (*spoil)(StampFixture&);  // after the file is chosen, before "Build"
  std::string message;           // with {path} for the program file's full path
};

TEST(Stamping, FailuresReplaceNothingAndLeaveNothing) {
  ProgramImage noKeyword = MakeProgramImage();
  noKeyword.File[noKeyword.KeywordAt + 3] ^= 1;
  ProgramImage truncated = MakeProgramImage();
  truncated.File.resize(truncated.ImageAt() + 1000);  // the image would reach past the end

  const FailureCase cases[] = {
      {"firmware longer than the image area", MakeProgramImage(), kImageAreaSize + 1, nullptr,
       "Building fail: 1A2B.BIN is 524289 bytes long, more than the 524288 bytes a flash program can carry"},
      {"no keyword", noKeyword, 100, nullptr, "Building fail: not found key-word in FLASH.EXE"},
      {"image past the end of the program file", truncated, 1001, nullptr,
       "Building fail: some problem in FLASH.EXE"},
      {"firmware gone", MakeProgramImage(), 100, [](StampFixture& f) { fs::remove(f.Dir / "1A2B.BIN"); },
       "Open 1A2B.BIN fail!"},
      {"program file gone", MakeProgramImage(), 100, [](StampFixture& f) { fs::remove(f.Ui.ProgramPath); },
       "Open {path} fail!"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    StampFixture f(c.program);
    WriteText(f.Dir / "1A2B.EXE", "an older program");
    WriteFile(f.Dir / "1A2B.BIN", Filler(c.imageSize, 3));
    f.Ui.UserSelectsLine(0);
    f.Ui.UserClicksFile("1A2B.BIN");
    if (c.spoil != nullptr) c.spoil(f);
    const auto names = f.Dir.Names();

    EXPECT_FALSE(f.Form.NewBuildFlashProgram());
    std::string message = c.message;
    if (const auto at = message.find("{path}"); at != std::string::npos)
      message.replace(at, 6, f.Ui.ProgramPath);
    EXPECT_EQ(f.Ui.Messages, std::vector<std::string>{message});
    EXPECT_EQ(f.Dir.Names(), names);
    EXPECT_EQ(ReadFile(f.Dir / "1A2B.EXE"),
              Bytes({'a', 'n', ' ', 'o', 'l', 'd', 'e', 'r', ' ', 'p', 'r', 'o', 'g', 'r', 'a', 'm'}));
    EXPECT_EQ(f.Ui.Group, "Building 1A2B.BIN  Please wait... ");
  }
}

TEST(Stamping, RefusesToWriteOverTheProgramOrTheFirmware) {
  const std::string list = "[MODEL00]\nModel=M\nInquiry=I\nFW-Range=R\nBINMask=*\nVendor=V\nNote=N\n";
  {
    StampFixture f(MakeProgramImage(), list, "1A2B.EXE");
    f.Build("1A2B.BIN", Filler(10, 1));
    EXPECT_EQ(f.Ui.Messages,
              std::vector<std::string>{"Create 1A2B.EXE Fail: it is the running program file"});
    EXPECT_TRUE(ReadFile(f.Ui.ProgramPath) == f.Program.File);
  }
  {
    StampFixture f(MakeProgramImage(), list);
    const Bytes firmware = Filler(10, 1);
    f.Build("ABCD.EXE", firmware);
    EXPECT_EQ(f.Ui.Messages, std::vector<std::string>{"Create ABCD.EXE Fail: it is the firmware file"});
    EXPECT_EQ(ReadFile(f.Dir / "ABCD.EXE"), firmware);
  }
}

}  // namespace
