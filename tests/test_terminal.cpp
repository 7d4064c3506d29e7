// The terminal face on its own: prompts and their answers, the end of input, the
// progress bar on a terminal and in a log, and when it paints in colour.
#include <gtest/gtest.h>

#include <clocale>
#include <sstream>

#include "toolkit/terminal/TerminalToolkit.h"

namespace {

struct Terminal {
  std::istringstream In;
  std::ostringstream Out;
  TerminalToolkit Ui;
  explicit Terminal(const std::string& input, bool interactive = false)
      : In(input), Ui(In, Out, interactive, "/opt/flash/FLASH", "FLASH") {
    Ui.SetColour(false);
  }
};

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

struct DialogCase {
  const char* name;
  DialogKind kind;
  const char* input;
  DialogResult answer;
  bool inputEnds;
  int reasks;
};

const DialogCase kDialogCases[] = {
    {"y", DialogKind::Warning, "y\n", DialogResult::Yes, false, 0},
    {"YES with blanks and CRLF", DialogKind::Confirmation, "  YES \r\n", DialogResult::Yes, false, 0},
    {"n", DialogKind::Warning, "n\n", DialogResult::No, false, 0},
    {"no", DialogKind::Confirmation, "No\n", DialogResult::No, false, 0},
    {"anything else asks again", DialogKind::Warning, "\nok\nyep\ny\n", DialogResult::Yes, false, 3},
    {"end of input is No", DialogKind::Warning, "", DialogResult::No, true, 0},
    {"end of input after a wrong answer", DialogKind::Confirmation, "sure", DialogResult::No, true, 1},
    {"OK on Enter", DialogKind::Error, "\n", DialogResult::Ok, false, 0},
    {"OK on any line", DialogKind::Error, "y\n", DialogResult::Ok, false, 0},
    {"OK at end of input", DialogKind::Error, "", DialogResult::Ok, true, 0},
};

TEST(TerminalDialogs, AnswersReasksAndEndOfInput) {
  const std::string text = "\nWARNING:\n\nYour drive Firmware 2000 is aready the most updated !\n";
  for (const DialogCase& c : kDialogCases) {
    SCOPED_TRACE(c.name);
    Terminal t(c.input);
    EXPECT_EQ(t.Ui.MessageDialog(text, c.kind), c.answer);
    EXPECT_EQ(t.Ui.InputEnded(), c.inputEnds);
    const std::string out = t.Out.str();
    const char* title = c.kind == DialogKind::Warning ? "Warning"
                        : c.kind == DialogKind::Error ? "Error"
                                                      : "Confirm";
    EXPECT_NE(out.find(std::string("--- ") + title + " ---\n" + text), std::string::npos) << out;
    EXPECT_EQ(Count(out, "Please answer y, yes, n or no."), static_cast<std::size_t>(c.reasks)) << out;
    EXPECT_EQ(Count(out, "(end of input)"), c.inputEnds ? 1u : 0u) << out;
  }
}

TEST(TerminalDialogs, AfterTheEndEveryQuestionIsNoWithoutReading) {
  Terminal t("");
  EXPECT_EQ(t.Ui.MessageDialog("\nfirst\n", DialogKind::Warning), DialogResult::No);
  t.In.clear();
  t.In.str("y\n");  // anything arriving later is never read
  EXPECT_EQ(t.Ui.MessageDialog("\nsecond\n", DialogKind::Confirmation), DialogResult::No);
  t.Ui.ShowMessage("Compare BIN and DRAM fail!");
  EXPECT_NE(t.Out.str().find("Compare BIN and DRAM fail!\n"), std::string::npos);
  t.Ui.RunMessageLoop();  // returns at once
}

TEST(TerminalDialogs, PipedAnswersAreEchoedAfterTheirPrompt) {
  Terminal t("y\n");
  t.Ui.MessageDialog("\nquestion\n", DialogKind::Warning);
  EXPECT_NE(t.Out.str().find("Answer yes or no [y/n]: y\n"), std::string::npos);
  Terminal quiet("y\n");
  quiet.Ui.SetEchoInput(false);
  quiet.Ui.MessageDialog("\nquestion\n", DialogKind::Warning);
  EXPECT_EQ(quiet.Out.str().find("[y/n]: y"), std::string::npos);
}

// The character set the face is started in, for the length of a test.
struct LocaleForTest {
  std::string Before = std::setlocale(LC_CTYPE, nullptr);
  explicit LocaleForTest(bool utf8) { EXPECT_NE(std::setlocale(LC_CTYPE, utf8 ? "C.UTF-8" : "C"), nullptr); }
  ~LocaleForTest() { std::setlocale(LC_CTYPE, Before.c_str()); }
};

struct ShownCase {
  const char* name;
  bool utf8;
  std::string text;   // as it came from a drive, a file name or the model list
  std::string shown;  // on a line of its own; a dialog keeps its line breaks
};

// clang-format off
const ShownCase kShownCases[] = {
    {"plain text and 8-bit letters", false, "QVXR \xC9t\xE9 ~", "QVXR \xC9t\xE9 ~"},
    {"clear screen and a new title", false, "\x1B[2J\x1B]0;owned\x07", "\\x1B[2J\\x1B]0;owned\\x07"},
    {"DEL, tab, carriage return and line feed", false, "a\x7F\tb\rc\nd", "a\\x7F\\x09b\\x0Dc\\x0Ad"},
    {"C1 controls of an 8-bit locale", false, "\x9B" "2J\x85\xA0", "\\x9B" "2J\\x85\xA0"},
    {"UTF-8 letters", true, "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC"},
    {"C1 controls in UTF-8", true, "\xC2\x9B" "2J\xC2\xA0\x1B", "\\xC2\\x9B" "2J\xC2\xA0\\x1B"},
    {"C1 bytes outside UTF-8 characters", true, "\x9B" "2J\xE2\x9B\xC2\x85\xF4\x90\x80\x80", "\\x9B" "2J\xE2\\x9B\\xC2\\x85\xF4\\x90\\x80\\x80"},
};
// clang-format on

TEST(TerminalText, ControlBytesFromOutsideAreShownEscaped) {
  for (const ShownCase& c : kShownCases) {
    SCOPED_TRACE(c.name);
    LocaleForTest locale(c.utf8);
    Terminal t("q\n\n");
    t.Ui.SetWindowCaption(c.text);
    t.Ui.SetLabelCaption(c.text);
    t.Ui.ComboAdd(c.text);
    t.Ui.FileListShow(c.text, {});
    t.Ui.SetGroupCaption(c.text);
    t.Ui.RunMessageLoop();
    t.Ui.ShowMessage("\n" + c.text + "\n");
    const std::string out = t.Out.str();
    EXPECT_NE(out.find("[" + c.shown + "]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n" + c.shown + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("m1) " + c.shown + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Files matching " + c.shown + ":\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Status: " + c.shown + "\n"), std::string::npos) << out;
    std::string dialog = c.shown;
    for (std::size_t at; (at = dialog.find("\\x0A")) != std::string::npos;) dialog.replace(at, 4, "\n");
    EXPECT_NE(out.find("---\n\n" + dialog + "\nPress Enter"), std::string::npos) << out;
    EXPECT_EQ(t.Ui.ComboLine(0), c.text) << "the window keeps the text as it came";
    EXPECT_EQ(t.Ui.WindowCaption(), c.text);
  }
}

// Drives the bar the way the update does: a pass over 32 chunks, a status line,
// a second pass, then the finish sets it back to 0.
void TwoPasses(TerminalToolkit& ui) {
  const int size = 32 * 16384;
  ui.SetProgressMin(0);
  ui.SetProgressMax(size);
  ui.SetProgressStep(16384);
  ui.SetGroupCaption("Write BIN to drive's DRAM... ");
  ui.SetProgressPosition(0);
  for (int i = 0; i < 32; ++i) ui.ProgressStepIt();
  ui.SetGroupCaption("Read back and Verify drive's DRAM... ");
  ui.SetProgressPosition(0);
  for (int i = 0; i < 32; ++i) ui.ProgressStepIt();
  ui.SetGroupCaption("Flash Completed.");
  ui.SetProgressPosition(0);
}

TEST(TerminalProgress, OnATerminalOneBarIsRedrawnInPlace) {
  Terminal t("", true);
  TwoPasses(t.Ui);
  const std::string out = t.Out.str();
  const std::size_t first = out.find("Status: Write BIN");
  const std::size_t second = out.find("Status: Read back");
  const std::size_t last = out.find("Status: Flash Completed.");
  ASSERT_TRUE(first < second && second < last) << out;
  for (auto [from, to] : {std::pair{first, second}, std::pair{second, last}}) {
    const std::string pass = out.substr(from, to - from);
    EXPECT_EQ(Count(pass, "\n"), 2u) << pass;   // the status line's and the bar's own
    EXPECT_EQ(Count(pass, "\r"), 32u) << pass;  // one redraw per chunk
    EXPECT_NE(pass.find("\r  [########################################] 100%\n"), std::string::npos);
  }
  EXPECT_EQ(out.substr(last), "Status: Flash Completed.\n");  // back to 0 draws nothing
}

TEST(TerminalProgress, InALogTheBarIsAFewPlainLines) {
  Terminal t("");
  TwoPasses(t.Ui);
  const std::string out = t.Out.str();
  EXPECT_EQ(out.find('\r'), std::string::npos);
  EXPECT_EQ(Count(out, "] "), 8u) << out;  // each pass: 25, 50, 75 and 100 percent
  EXPECT_EQ(Count(out, "[##########------------------------------]  25%\n"), 2u) << out;
  EXPECT_EQ(Count(out, "] 100%\n"), 2u) << out;
}

TEST(TerminalColour, OnlyOnATerminalAndNotUnderNoColor) {
  EXPECT_TRUE(TerminalWantsColour(true, nullptr));
  EXPECT_FALSE(TerminalWantsColour(true, ""));
  EXPECT_FALSE(TerminalWantsColour(true, "1"));
  EXPECT_FALSE(TerminalWantsColour(false, nullptr));

  for (bool colour : {false, true}) {
    Terminal t("", true);
    t.Ui.SetColour(colour);
    t.Ui.SetWindowCaption(" Flash Utility V1.050 ");
    t.Ui.MessageDialog("\nERROR:\n", DialogKind::Error);
    t.Ui.SetProgressMax(10);
    t.Ui.SetProgressPosition(5);
    EXPECT_EQ(t.Out.str().find("\x1b["),
              colour ? t.Out.str().find("\x1b[1m[ Flash Utility V1.050 ]") : std::string::npos);
  }
}

}  // namespace
