// The native window under Wine (a display is needed: scripts run this under
// Xvfb): the controls at their designed places, the toolkit operations on them,
// the dialogs, and the built program itself, driven from outside as a user
// would drive it, stamping a flash program that then starts in flasher mode.
#include <gtest/gtest.h>
#include <windows.h>

// windows.h first: commctrl.h builds on it.
#include <commctrl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/FlashForm.h"
#include "app/FlashPackage.h"
#include "platform/windows/WinSystem.h"
#include "tests/Support.h"
#include "toolkit/win32/Win32Toolkit.h"

namespace fs = std::filesystem;

namespace {

// A window on the Win32 toolkit for a package, created as the entry point creates it.
struct Win32Window {
  Win32Toolkit Ui;
  std::unique_ptr<FlashPackage> Package = MakeFlasherPackage();
  TFlashForm Form{Ui, *Package, {}};
  Win32Window() { Ui.CreateMainWindow(Form); }
};

RECT RectIn(HWND control, HWND parent) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::string TextOf(HWND window) {
  char text[1024] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                      &copied);
  return text;
}

// The window's controls at 96 pixels per inch: left, top, right, bottom in the
// parent (the bar and the button lie in the group box).
const struct {
  int id;
  const char* kind;
  bool inGroup;
  RECT place;
  LONG style, notStyle;
} kDesignedControls[] = {
    {Win32Toolkit::kLabelId, "Static", false, {16, 16, 385, 41}, SS_NOPREFIX, 0},
    {Win32Toolkit::kComboId, "ComboBox", false, {16, 40, 401, 64}, CBS_DROPDOWN | WS_TABSTOP, CBS_SORT},
    {Win32Toolkit::kFileListId, "ListBox", false, {16, 72, 401, 113}, LBS_NOTIFY | WS_TABSTOP, LBS_SORT},
    {Win32Toolkit::kGroupId, "Button", false, {16, 128, 401, 177}, BS_GROUPBOX, 0},
    {Win32Toolkit::kProgressId, "msctls_progress32", true, {8, 16, 313, 41}, PBS_SMOOTH, 0},
    {Win32Toolkit::kButtonId, "Button", true, {320, 16, 377, 41}, BS_PUSHBUTTON | WS_TABSTOP, 0},
};

// The window laid out for the dpi: the client area (Panel1, 425 x 201 at 96) and
// every control at its designed rectangle times dpi / 96, in a font that much
// higher. The window may be another process's.
void ExpectLaidOutAt(HWND window, int dpi) {
  SCOPED_TRACE(dpi);
  const auto scaled = [dpi](int designed) { return MulDiv(designed, dpi, 96); };
  RECT client;
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, scaled(425));  // the window fits Panel1
  EXPECT_EQ(client.bottom, scaled(201));
  const HWND group = GetDlgItem(window, Win32Toolkit::kGroupId);
  for (const auto& c : kDesignedControls) {
    SCOPED_TRACE(c.id);
    const HWND parent = c.inGroup ? group : window;
    const HWND control = GetDlgItem(parent, c.id);
    ASSERT_NE(control, nullptr);
    const RECT place = RectIn(control, parent);
    EXPECT_EQ(place.left, scaled(c.place.left));
    EXPECT_EQ(place.top, scaled(c.place.top));
    EXPECT_EQ(place.right, scaled(c.place.right));
    EXPECT_EQ(place.bottom, scaled(c.place.bottom));
  }
  EXPECT_EQ(SendMessageA(GetDlgItem(window, Win32Toolkit::kFileListId), LB_GETITEMHEIGHT, 0, 0), scaled(16));
}

TEST(Win32Window, ControlsAtTheirDesignedPlacesScaledByTheDpi) {
  Win32Window w;
  const HWND window = w.Ui.Window();
  ASSERT_NE(window, nullptr);
  RECT outer;
  GetWindowRect(window, &outer);
  EXPECT_EQ(w.Ui.Dpi(), 96u);  // the tests' screen
  ExpectLaidOutAt(window, 96);
  EXPECT_EQ(outer.left, 192);
  EXPECT_EQ(outer.top, 128);
  EXPECT_FALSE(IsWindowVisible(window));  // shown only after FormCreate
  EXPECT_EQ(GetClassLongPtrA(window, GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));

  const HWND group = w.Ui.Control(Win32Toolkit::kGroupId);
  for (const auto& c : kDesignedControls) {
    SCOPED_TRACE(c.id);
    const HWND control = w.Ui.Control(c.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(GetParent(control), c.inGroup ? group : window);
    EXPECT_STRCASEEQ(ClassOf(control).c_str(), c.kind);
    const LONG style = GetWindowLongA(control, GWL_STYLE);
    EXPECT_EQ(style & c.style, c.style);
    EXPECT_EQ(style & c.notStyle, 0);
    EXPECT_EQ(GetDlgCtrlID(control), c.id);
  }
  EXPECT_EQ(GetWindowLongA(w.Ui.Control(Win32Toolkit::kComboId), GWL_STYLE) & 3, CBS_DROPDOWN);
  EXPECT_EQ(GetWindowLongA(group, GWL_STYLE) & BS_TYPEMASK, BS_GROUPBOX);
  EXPECT_EQ(TextOf(w.Ui.Control(Win32Toolkit::kButtonId)), "FLASH");
  EXPECT_EQ(SendMessageA(w.Ui.Control(Win32Toolkit::kProgressId), PBM_GETRANGE, TRUE, 0), 0);
  EXPECT_EQ(SendMessageA(w.Ui.Control(Win32Toolkit::kProgressId), PBM_GETRANGE, FALSE, 0), 100);

  // "System", bold, 16 pixels, Big5 where the system's Big5 font draws the
  // texts; the default character set otherwise. Either way the letters show.
  const HFONT handle =
      reinterpret_cast<HFONT>(SendMessageA(w.Ui.Control(Win32Toolkit::kComboId), WM_GETFONT, 0, 0));
  LOGFONTA font = {};
  GetObjectA(handle, sizeof font, &font);
  EXPECT_EQ(font.lfHeight, -16);
  EXPECT_EQ(font.lfWeight, FW_BOLD);
  EXPECT_TRUE(font.lfCharSet == CHINESEBIG5_CHARSET || font.lfCharSet == DEFAULT_CHARSET);
  EXPECT_STREQ(font.lfFaceName, "System");
  const HDC dc = GetDC(w.Ui.Control(Win32Toolkit::kLabelId));
  SelectObject(dc, handle);
  WORD glyphs[2] = {};
  GetGlyphIndicesA(dc, "Sx", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
  EXPECT_NE(glyphs[0], 0xFFFF);
  EXPECT_NE(glyphs[1], 0xFFFF);
  ReleaseDC(w.Ui.Control(Win32Toolkit::kLabelId), dc);
  for (const int id :
       {Win32Toolkit::kLabelId, Win32Toolkit::kFileListId, Win32Toolkit::kGroupId, Win32Toolkit::kButtonId}) {
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(w.Ui.Control(id), WM_GETFONT, 0, 0)), handle);
  }

  // On a monitor of 125, 150 and 200 % and back: the same layout, larger, in a
  // larger font of the same face, which every control uses.
  for (const int dpi : {120, 144, 192, 96}) {
    w.Ui.LayOut(static_cast<UINT>(dpi));
    ExpectLaidOutAt(window, dpi);
    const HFONT scaled =
        reinterpret_cast<HFONT>(SendMessageA(w.Ui.Control(Win32Toolkit::kButtonId), WM_GETFONT, 0, 0));
    LOGFONTA larger = {};
    GetObjectA(scaled, sizeof larger, &larger);
    EXPECT_EQ(larger.lfHeight, -MulDiv(16, dpi, 96));
    EXPECT_STREQ(larger.lfFaceName, "System");
    EXPECT_EQ(larger.lfCharSet, font.lfCharSet);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(w.Ui.Control(Win32Toolkit::kLabelId), WM_GETFONT, 0, 0)),
              scaled);
  }

  // Moved to a monitor of 150 %: laid out for it, in the rectangle the system suggests.
  RECT client;
  GetWindowRect(window, &outer);
  GetClientRect(window, &client);
  RECT suggested = {300, 200, 300 + MulDiv(425, 144, 96) + (outer.right - outer.left) - client.right,
                    200 + MulDiv(201, 144, 96) + (outer.bottom - outer.top) - client.bottom};
  EXPECT_EQ(SendMessageA(window, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(144, 144),
                         reinterpret_cast<LPARAM>(&suggested)),
            0);
  EXPECT_EQ(w.Ui.Dpi(), 144u);
  ExpectLaidOutAt(window, 144);
  GetWindowRect(window, &outer);
  EXPECT_EQ(outer.left, 300);
  EXPECT_EQ(outer.top, 200);
}

TEST(Win32Window, ControlOperations) {
  Win32Window w;
  Toolkit& ui = w.Ui;
  ui.SetWindowCaption("QVXR Flash Utility V1.050 CRW");
  EXPECT_EQ(ui.WindowCaption(), "QVXR Flash Utility V1.050 CRW");
  ui.SetLabelCaption("Select & go");
  EXPECT_EQ(TextOf(w.Ui.Control(Win32Toolkit::kLabelId)), "Select & go");

  // The combo box keeps its lines in the order given.
  ui.ComboAdd("b line");
  ui.ComboAdd("a line");
  ui.ComboInsert(0, "first");
  EXPECT_EQ(ui.ComboCount(), 3);
  EXPECT_EQ(ui.ComboLine(0), "first");
  EXPECT_EQ(ui.ComboLine(1), "b line");
  EXPECT_EQ(ui.ComboLine(2), "a line");
  EXPECT_EQ(ui.ComboIndex(), -1);
  ui.ComboSelect(2);
  EXPECT_EQ(ui.ComboIndex(), 2);
  ui.ComboDelete(0);
  EXPECT_EQ(ui.ComboLine(0), "b line");
  ui.ComboSelect(1);
  // Typing into the edit field leaves no line chosen.
  SendMessageA(w.Ui.Window(), WM_COMMAND, MAKEWPARAM(Win32Toolkit::kComboId, CBN_EDITCHANGE),
               reinterpret_cast<LPARAM>(w.Ui.Control(Win32Toolkit::kComboId)));
  EXPECT_EQ(ui.ComboIndex(), -1);
  ui.ComboSelect(0);
  EXPECT_EQ(ui.ComboIndex(), 0);

  ui.SetGroupCaption("Building 2000.BIN  Please wait... ");
  EXPECT_EQ(ui.GroupCaption(), "Building 2000.BIN  Please wait... ");

  ui.SetProgressMax(524440);
  ui.SetProgressStep(1024);
  ui.SetProgressPosition(0);
  ui.ProgressStepIt();
  ui.ProgressStepIt();
  EXPECT_EQ(ui.ProgressPosition(), 2048);
  ui.SetProgressPosition(100000);
  EXPECT_EQ(ui.ProgressPosition(), 100000);

  ui.SetButtonCaption("Build");
  ui.SetButtonEnabled(false);
  EXPECT_EQ(TextOf(w.Ui.Control(Win32Toolkit::kButtonId)), "Build");
  EXPECT_FALSE(IsWindowEnabled(w.Ui.Control(Win32Toolkit::kButtonId)));
  ui.SetButtonEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(w.Ui.Control(Win32Toolkit::kButtonId)));

  ui.SetCursor(CursorShape::Hourglass);
  EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, IDC_WAIT));
  ui.SetCursor(CursorShape::Default);
  EXPECT_EQ(GetCursor(), LoadCursorA(nullptr, IDC_ARROW));
}

// The width a text takes in the group box's font.
int GroupTextWidth(HWND group, const std::string& text) {
  const HDC dc = GetDC(group);
  SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(group, WM_GETFONT, 0, 0)));
  SIZE size = {};
  GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
  ReleaseDC(group, dc);
  return size.cx;
}

TEST(Win32Window, GroupCaptionsShowWholeOrWithTheirOutcome) {
  Win32Window w;
  const HWND group = w.Ui.Control(Win32Toolkit::kGroupId);
  // Every caption of the update and the build; where one is too long for the
  // box, what must still show of it.
  const struct {
    const char* caption;
    const char* shows;
  } cases[] = {
      {"Write profile to drive's DRAM... , Fail! ", nullptr},
      {"Write BIN to drive's DRAM... , Fail! ", nullptr},
      {"Drive entry critical... , Fail! ", nullptr},
      {"Read back and Verify drive's DRAM... ", nullptr},
      {"Read back and Verify drive's DRAM... , Valid Profile Fail!", "Profile Fail!"},
      {"Read back and Verify drive's DRAM... , Read Fail! ", "Read Fail! "},
      {"Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! ", "DRAM Fail! "},
      {"Don't turn off the system, Flash is in progress...", nullptr},
      {"Flash Fail.", nullptr},
      {"Flash Completed.", nullptr},
      {"Building 1A2B.BIN  Please wait... ", nullptr},
      {"Building FIRMWARE-OF-2026-FOR-EVERY-DRIVE.BIN  Please wait... ", "Please wait... "},
      {"Build 1A2B.EXE complete!", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.caption);
    w.Ui.SetGroupCaption(c.caption);
    const std::string shown = w.Ui.ShownGroupCaption();
    EXPECT_EQ(w.Ui.GroupCaption(), c.caption);  // the text itself stays whole
    // From 8 pixels in to 8 pixels before the box's right edge.
    EXPECT_LE(GroupTextWidth(group, shown), 385 - 16);
    if (c.shows == nullptr) {
      EXPECT_EQ(shown, c.caption);
    } else {
      EXPECT_EQ(shown.substr(0, 12), std::string(c.caption).substr(0, 12));   // the stage
      EXPECT_EQ(shown.substr(shown.size() - std::strlen(c.shows)), c.shows);  // and how it ended
    }
  }
}

TEST(Win32Window, FileListShowsTheMatchingFilesAndMakesTheirDirectoryCurrent) {
  const fs::path dir = fs::temp_directory_path() / "flashutil-gui-files";
  fs::remove_all(dir);
  fs::create_directories(dir / "sub.bin");
  for (const char* name : {"2001.bin", "2000.BIN", "read.me"}) std::ofstream(dir / name) << "x";
  {
    Win32Window w;
    Toolkit& ui = w.Ui;
    FileList& files = w.Form.FileListBox1;
    const HWND list = w.Ui.Control(Win32Toolkit::kFileListId);
    files.SetDirectory(dir.string());
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 3);  // mask "*.*": every plain file
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir));
    files.SetMask("*.BIN");
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 3);  // the mask counts from the next reading
    files.Update();
    ASSERT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(files.CurrentFile(), "");
    SendMessageA(list, LB_SETCURSEL, 1, 0);  // the user's choice, as the list box reports it
    SendMessageA(GetParent(list), WM_COMMAND, MAKEWPARAM(Win32Toolkit::kFileListId, LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
    EXPECT_EQ(files.CurrentFile(), dir.string() + "\\2001.bin");
    files.Update();
    EXPECT_EQ(files.CurrentFile(), "");  // reading again chooses nothing
    ui.FileListSetVisible(false);
    EXPECT_FALSE(GetWindowLongA(list, GWL_STYLE) & WS_VISIBLE);
  }
  fs::current_path(fs::temp_directory_path());
  fs::remove_all(dir);
}

struct ShownBox {
  HWND Owner;
  std::string Text, Title;
  UINT Style;
};
std::vector<ShownBox> gBoxes;
int gAnswer = IDOK;

int WINAPI RecordBox(HWND owner, LPCSTR text, LPCSTR title, UINT style) {
  gBoxes.push_back({owner, text, title, style});
  return gAnswer;
}

TEST(Win32Window, DialogsAreMessageBoxesOfTheirKind) {
  Win32Window w;
  w.Ui.SetMessageBoxFunction(&RecordBox);
  w.Ui.SetApplicationTitle("Windows Flash utility");
  const struct {
    DialogKind kind;
    int answer;
    const char* title;
    UINT style;
    DialogResult want;
  } cases[] = {
      {DialogKind::Warning, IDYES, "Warning", MB_ICONWARNING | MB_YESNO, DialogResult::Yes},
      {DialogKind::Warning, IDNO, "Warning", MB_ICONWARNING | MB_YESNO, DialogResult::No},
      {DialogKind::Warning, 0, "Warning", MB_ICONWARNING | MB_YESNO, DialogResult::Closed},
      {DialogKind::Confirmation, IDYES, "Confirm", MB_ICONQUESTION | MB_YESNO, DialogResult::Yes},
      {DialogKind::Confirmation, IDNO, "Confirm", MB_ICONQUESTION | MB_YESNO, DialogResult::No},
      {DialogKind::Error, IDOK, "Error", MB_ICONERROR | MB_OK, DialogResult::Ok},
      {DialogKind::Error, 0, "Error", MB_ICONERROR | MB_OK, DialogResult::Ok},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    gBoxes.clear();
    gAnswer = c.answer;
    EXPECT_EQ(w.Ui.MessageDialog("\nWARNING:\ntext", c.kind), c.want);
    ASSERT_EQ(gBoxes.size(), 1u);
    EXPECT_EQ(gBoxes[0].Text, "\nWARNING:\ntext");
    EXPECT_EQ(gBoxes[0].Title, c.title);
    EXPECT_EQ(gBoxes[0].Style, c.style);
    EXPECT_EQ(gBoxes[0].Owner, nullptr);  // the window is not shown yet: the box stands alone
  }
  gBoxes.clear();
  w.Ui.ShowMainWindow();
  w.Ui.ShowMessage("Can't load X.INI");
  w.Ui.ShowException("bad_alloc");
  ASSERT_EQ(gBoxes.size(), 2u);
  EXPECT_EQ(gBoxes[0].Title, "Windows Flash utility");
  EXPECT_EQ(gBoxes[0].Style, static_cast<UINT>(MB_OK));
  EXPECT_EQ(gBoxes[0].Owner, w.Ui.Window());  // over the shown window
  EXPECT_EQ(gBoxes[1].Title, "Windows Flash utility");
  EXPECT_EQ(gBoxes[1].Style, static_cast<UINT>(MB_OK | MB_ICONERROR));
}

// A click and a key on the button, Alt+F4 on the window.
void GiveInput(HWND window, HWND button) {
  PostMessageA(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  PostMessageA(button, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  PostMessageA(button, WM_KEYDOWN, VK_SPACE, 0x00390001);
  PostMessageA(window, WM_SYSKEYDOWN, VK_F4, 0x203E0001);
}

bool InputQueued() {
  MSG message;
  return PeekMessageA(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_NOREMOVE) ||
         PeekMessageA(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_NOREMOVE);
}

bool gInputQueuedAtBox = false;
int WINAPI BoxThatLooksAtTheQueue(HWND, LPCSTR, LPCSTR, UINT) {
  gInputQueuedAtBox = InputQueued();
  return IDOK;
}

TEST(Win32Window, WorkDropsInputBeforeEachBoxAndAtItsEnd) {
  Win32Window w;
  w.Ui.SetMessageBoxFunction(&BoxThatLooksAtTheQueue);
  const HWND window = w.Ui.Window(), button = w.Ui.Control(Win32Toolkit::kButtonId);
  GiveInput(window, button);
  w.Ui.Sleep(50);
  EXPECT_TRUE(InputQueued());  // outside work it is left to the message loop

  w.Ui.BeginWork();
  GiveInput(window, button);
  w.Ui.MessageDialog("\nERROR:\n", DialogKind::Error);
  EXPECT_FALSE(gInputQueuedAtBox);  // a queued key would answer the box
  EXPECT_THROW(w.Ui.RunBlocking([](void*) { throw std::runtime_error("lost"); }, nullptr),
               std::runtime_error);  // on the window's thread, not ending the program
  GiveInput(window, button);
  w.Ui.EndWork();
  EXPECT_FALSE(InputQueued());
}

std::vector<std::wstring> gBlockReasons;  // what the window gave the shutdown screen
BOOL WINAPI RecordBlockReason(HWND, LPCWSTR reason) {
  gBlockReasons.emplace_back(reason);
  return TRUE;
}
BOOL WINAPI RecordBlockReasonGone(HWND) {
  gBlockReasons.emplace_back(L"(none)");
  return TRUE;
}

TEST(Win32Window, WorkSaysWhyItHoldsTheSessionsEnd) {
  const WinSystem saved = System();
  System().ShutdownBlockReasonCreate = &RecordBlockReason;
  System().ShutdownBlockReasonDestroy = &RecordBlockReasonGone;
  Win32Window w;
  w.Ui.BeginWork();
  w.Ui.EndWork();
  EXPECT_EQ(gBlockReasons,
            (std::vector<std::wstring>{L"Firmware update in progress, do not turn off", L"(none)"}));
  System() = saved;
}

TEST(Win32Window, ClosingDuringCreationOnlyHidesAndTheQuitRequestEndsTheLoop) {
  Win32Window w;
  w.Ui.PostQuit(0);
  w.Ui.CloseWindow();
  w.Ui.ShowMainWindow();
  EXPECT_FALSE(IsWindowVisible(w.Ui.Window()));
  EXPECT_TRUE(IsWindow(w.Ui.Window()));
  w.Ui.RunMessageLoop();  // returns at once: the quit request was posted before
}

TEST(Win32Window, SystemTexts) {
  Win32Toolkit ui;
  EXPECT_EQ(ui.UpperCase("qvxr Crw-5224a"), "QVXR CRW-5224A");
  EXPECT_EQ(ui.UpperCase(""), "");
  if (GetACP() == 1252) {
    EXPECT_EQ(ui.UpperCase("\xE4\xF6"), "\xC4\xD6");  // by the locale's rules
  }

  char module[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, module, sizeof module);
  EXPECT_EQ(ui.ProgramFilePath(), module);
  EXPECT_EQ(ui.ProgramStartedPath(), __argv[0]);

  const fs::path dir = fs::temp_directory_path() / "flashutil-gui-cwd";
  fs::create_directories(dir);
  SetCurrentDirectoryA(dir.string().c_str());
  const std::string current = ui.CurrentDirectory();
  ASSERT_GE(current.size(), 3u);
  EXPECT_TRUE(current[0] >= 'A' && current[0] <= 'Z');
  EXPECT_EQ(current.substr(1, 2), ":\\");
  EXPECT_TRUE(fs::equivalent(current, dir));
  SetCurrentDirectoryA("C:\\");
  EXPECT_EQ(ui.CurrentDirectory(), "C:\\");
  fs::remove(dir);
}

// --- The built program, driven from outside ---------------------------------

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::size_t> KeywordPositions(const std::vector<std::uint8_t>& file) {
  const char* keyword = EmbeddedPackage().PackageKeyword;
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i + kKeywordSize <= file.size(); ++i) {
    if (std::memcmp(file.data() + i, keyword, kKeywordSize) == 0) found.push_back(i);
  }
  return found;
}

// A search of the top-level windows for a visible one of a process with a class
// (and title, when given). (Named functions: the 32-bit system calls back with
// the stdcall convention, which lambdas do not have.)
struct WindowSearch {
  DWORD Id;
  const char* Class;
  const char* Title;
  HWND Found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<WindowSearch*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != s->Id || !IsWindowVisible(window) || ClassOf(window) != s->Class) return TRUE;
  if (s->Title != nullptr && TextOf(window) != s->Title) return TRUE;
  s->Found = window;
  return FALSE;
}

BOOL CALLBACK TakeStaticText(HWND child, LPARAM param) {
  auto* text = reinterpret_cast<std::string*>(param);
  if (ClassOf(child) == "Static" && !TextOf(child).empty()) {
    *text = TextOf(child);
    return FALSE;
  }
  return TRUE;
}

struct Process {
  PROCESS_INFORMATION Info = {};
  Process(const fs::path& program, const fs::path& directory) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command(1, '"');
    command.append(program.string()).append(1, '"');
    EXPECT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               directory.string().c_str(), &startup, &Info))
        << GetLastError();
  }
  ~Process() {
    if (Info.hProcess == nullptr) return;
    if (WaitForSingleObject(Info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(Info.hProcess, 99);
    CloseHandle(Info.hThread);
    CloseHandle(Info.hProcess);
  }
  // A visible top-level window of this process with the class (and title, when given).
  HWND WaitForWindow(const char* windowClass, const char* title = nullptr, int tries = 300) const {
    WindowSearch search = {Info.dwProcessId, windowClass, title, nullptr};
    for (int tried = 0; tried < tries && search.Found == nullptr; ++tried) {
      EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
      if (search.Found == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return search.Found;
  }
  DWORD ExitCode(DWORD waitMs = 20000) const {
    if (WaitForSingleObject(Info.hProcess, waitMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(Info.hProcess, &code);
    return code;
  }
};

// The text of a message box: its static control that holds text.
std::string BoxText(HWND box) {
  std::string found;
  EnumChildWindows(box, TakeStaticText, reinterpret_cast<LPARAM>(&found));
  return found;
}

// The user clicks the first file of the template's list, then "Build"; the
// caption of the group box afterwards.
std::string ClickFirstFileAndBuild(HWND window) {
  const HWND list = GetDlgItem(window, Win32Toolkit::kFileListId);
  const HWND group = GetDlgItem(window, Win32Toolkit::kGroupId);
  const HWND button = GetDlgItem(group, Win32Toolkit::kButtonId);
  SendMessageA(list, LB_SETCURSEL, 0, 0);
  SendMessageA(window, WM_COMMAND, MAKEWPARAM(Win32Toolkit::kFileListId, LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
  EXPECT_TRUE(IsWindowEnabled(button));
  SendMessageA(button, BM_CLICK, 0, 0);  // returns when the handler has
  return TextOf(group);
}

std::wstring LineOf(HWND combo, int index) {
  wchar_t line[256] = {};  // (Wine hands list lines to another process in UTF-16 only)
  SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(line));
  return line;
}

TEST(BuiltProgram, TemplateCarriesItsPackageOnce) {
  const std::vector<std::uint8_t> program = ReadAll(FLASHUTIL_PROGRAM);
  const std::vector<std::size_t> at = KeywordPositions(program);
  ASSERT_EQ(at.size(), 1u);
  EXPECT_EQ(std::memcmp(program.data() + at[0] + 152, "ZARN", 4), 0);
}

// The resources of a program file: the manifest (well-formed for the system's
// own parser, and with each element), the version information and the icon.
void ExpectResources(const fs::path& program, const std::string& originalName) {
  SCOPED_TRACE(program.string());
  const std::string path = program.string();
  const HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  const auto resource = [module](LPCSTR type, LPCSTR name) {
    const HRSRC found = FindResourceA(module, name, type);
    const auto* data =
        found != nullptr ? static_cast<const char*>(LockResource(LoadResource(module, found))) : nullptr;
    return data != nullptr ? std::string(data, SizeofResource(module, found)) : std::string();
  };

  const std::string manifest = resource(RT_MANIFEST, MAKEINTRESOURCEA(1));
  for (
      const char* element : {
          R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">)",
          R"(<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">)",
          R"(<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>)",
          R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
          R"(processorArchitecture="*" publicKeyToken="6595b64144ccf1df")",
          "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>",  // Vista
          "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",  // 7
          "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",  // 8
          "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",  // 8.1
          "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // 10 and 11
          R"(<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>)",
          R"(<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor<)",
      }) {
    EXPECT_NE(manifest.find(element), std::string::npos) << element;
  }
  ACTCTXA context = {};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path.c_str();
  context.lpResourceName = MAKEINTRESOURCEA(1);
  const HANDLE activation = CreateActCtxA(&context);
  EXPECT_NE(activation, INVALID_HANDLE_VALUE) << GetLastError();
  if (activation != INVALID_HANDLE_VALUE) ReleaseActCtx(activation);

  // The icon: 16 to 48 pixels and 256 (stored as 0), each image present.
  const std::string group = resource(RT_GROUP_ICON, MAKEINTRESOURCEA(1));
  std::vector<int> sizes;
  for (std::size_t at = 6; group.size() >= 6 && at + 14 <= group.size(); at += 14) {
    const int width = static_cast<std::uint8_t>(group[at]);
    sizes.push_back(width == 0 ? 256 : width);
    std::uint32_t bytes = 0;
    std::uint16_t id = 0;
    std::memcpy(&bytes, group.data() + at + 8, sizeof bytes);
    std::memcpy(&id, group.data() + at + 12, sizeof id);
    EXPECT_EQ(resource(RT_ICON, MAKEINTRESOURCEA(id)).size(), bytes) << width;
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 256}));
  FreeLibrary(module);

  DWORD ignored = 0;
  std::vector<char> version(GetFileVersionInfoSizeA(path.c_str(), &ignored));
  ASSERT_FALSE(version.empty());
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(version.size()), version.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(version.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(50, 1)));  // 1.050 as 1.50.0.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, static_cast<DWORD>(MAKELONG(50, 1)));
  const std::pair<const char*, std::string> strings[] = {
      {"FileDescription", "Windows Flash utility"},
      {"FileVersion", "1.050"},
      {"ProductName", "Flash Utility"},
      {"ProductVersion", "1.050"},
      {"OriginalFilename", originalName},
  };
  for (const auto& [name, expected] : strings) {
    char* text = nullptr;
    const std::string key = std::string("\\StringFileInfo\\040904E4\\") + name;
    EXPECT_TRUE(VerQueryValueA(version.data(), key.c_str(), reinterpret_cast<void**>(&text), &length))
        << name;
    EXPECT_EQ(text != nullptr ? std::string(text) : std::string(), expected) << name;
  }
}

TEST(BuiltProgram, ProgramsCarryManifestVersionAndIcon) {
  ExpectResources(FLASHUTIL_PROGRAM, "flashutil.exe");
  ExpectResources(FLASHUTIL_SIM_PROGRAM, "flashutil-sim.exe");
}

// The options of the built program: what they write to the streams its starter
// handed down (a console is not there to attach to), and the exit status.
// Runs a program with its output and error streams in files, as a fleet tool or a
// shell redirects them; its exit status (99 when it did not end within 60 s).
DWORD RunWithStreams(const fs::path& program, const std::string& arguments, std::string& out,
                     std::string& err) {
  const fs::path dir = program.parent_path();
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE streams[2];
  const fs::path files[2] = {dir / "out.txt", dir / "err.txt"};
  for (int i = 0; i < 2; ++i) {
    streams[i] = CreateFileA(files[i].string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(streams[i], INVALID_HANDLE_VALUE);
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = streams[0];
  startup.hStdError = streams[1];
  std::string command = "\"" + program.string() + "\" " + arguments;
  PROCESS_INFORMATION info = {};
  DWORD status = 99;
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.string().c_str(),
                     &startup, &info)) {
    if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0)
      GetExitCodeProcess(info.hProcess, &status);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  for (HANDLE stream : streams) CloseHandle(stream);
  const std::vector<std::uint8_t> outBytes = ReadAll(files[0]), errBytes = ReadAll(files[1]);
  out.assign(outBytes.begin(), outBytes.end());
  err.assign(errBytes.begin(), errBytes.end());
  return status;
}

TEST(BuiltProgram, OptionsWriteToTheStreamsTheStarterGave) {
  struct Case {
    const char* arguments;
    DWORD status;
    const char* out;
    const char* err;  // what the error stream starts with
  };
  const Case cases[] = {
      {"--version", 0, "Flash Utility 1.050\r\n", ""},
      {"--list", 0,
       "  0-0-0 D: QVXR    CRW-5224A       1000\r\n  0-1-0 E: QVXR    DVD-ROM 16X     0103\r\n"
       "This program is a template: it updates no drive.\r\n",
       ""},
      {"--bogus", 2, "",
       "flashutil-sim.exe: unknown option '--bogus'\r\nUsage: flashutil-sim.exe [--log FILE]\r\n"},
      {"--terminal", 2, "",
       "flashutil-sim.exe: --terminal: this program has no terminal face, only its window\r\n"},
  };
  const fs::path dir = fs::temp_directory_path() / "flashutil-gui-options";
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(FLASHUTIL_SIM_PROGRAM, dir / "flashutil-sim.exe");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::string out, err;
    EXPECT_EQ(RunWithStreams(dir / "flashutil-sim.exe", c.arguments, out, err), c.status);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(err.rfind(c.err, 0), 0u) << err;
  }
  fs::remove_all(dir);
}

TEST(BuiltProgram, BuilderStampsAFlashProgramThatStartsInFlasherMode) {
  const fs::path dir = fs::temp_directory_path() / "flashutil-gui-builder";
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(FLASHUTIL_PROGRAM, dir / "FLASHW.EXE");
  std::ofstream(dir / "FLASHW.INI") << "[MODEL00]\r\nModel=CRW-5224A\r\nInquiry=QVXR    CRW-5224A\r\n"
                                       "FW-Range=1000-1FFF\r\nBINMask=*.BIN\r\nVendor=Qvxr\r\nNote=\r\n"
                                       "[MODEL01]\r\nModel=DVD-16\r\nInquiry=--\r\nFW-Range=-----\r\n"
                                       "BINMask=*.DVD\r\nVendor=Qvxr\r\nNote=FLASH-ALL\r\n";
  std::vector<std::uint8_t> image(100000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::ofstream(dir / "2000.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::ofstream(dir / "2001.BIN") << "other";
  std::ofstream(dir / "notes.txt") << "not firmware";

  {
    Process builder(dir / "FLASHW.EXE", dir);
    const HWND window = builder.WaitForWindow(Win32Toolkit::kWindowClass);
    ASSERT_NE(window, nullptr) << "the template showed no window";
    const HWND combo = GetDlgItem(window, Win32Toolkit::kComboId);
    const HWND list = GetDlgItem(window, Win32Toolkit::kFileListId);
    const HWND group = GetDlgItem(window, Win32Toolkit::kGroupId);
    const HWND button = GetDlgItem(group, Win32Toolkit::kButtonId);
    EXPECT_EQ(TextOf(window), " Flash Utility V1.050 1000-1FFF [Buiding]");
    EXPECT_EQ(TextOf(GetDlgItem(window, Win32Toolkit::kLabelId)), "Select Model: ");
    EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(TextOf(button), "Build");
    EXPECT_FALSE(IsWindowEnabled(button));
    // "*.BIN" finds both firmware files whatever their case, sorted by name.
    ASSERT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 2);
    wchar_t name[MAX_PATH] = {};  // (Wine hands list box lines to another process in UTF-16 only)
    SendMessageW(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(name));
    EXPECT_STREQ(name, L"2000.bin");

    EXPECT_EQ(ClickFirstFileAndBuild(window), "Build 2000.EXE complete!");

    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(builder.ExitCode(), 0u);
  }

  // The stamped program: the template's bytes but for the record and the image.
  const std::vector<std::uint8_t> templateFile = ReadAll(dir / "FLASHW.EXE");
  const std::vector<std::uint8_t> stamped = ReadAll(dir / "2000.EXE");
  ASSERT_EQ(stamped.size(), templateFile.size());
  const std::vector<std::size_t> at = KeywordPositions(stamped);
  ASSERT_EQ(at.size(), 1u);
  FlashPackage package;
  std::memcpy(&package, stamped.data() + at[0], sizeof package);
  EXPECT_FALSE(IsTemplatePackage(package));
  EXPECT_STREQ(package.ModelName, "CRW-5224A");
  EXPECT_STREQ(package.VendorName, "Qvxr");
  EXPECT_EQ(std::string(package.FirmwareName, 5), "2000.");
  EXPECT_EQ(PackageImageSize(package), image.size());
  EXPECT_EQ(std::memcmp(package.ImageArea, image.data(), image.size()), 0);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < stamped.size(); ++i) differing += stamped[i] != templateFile[i];
  EXPECT_LE(differing, kModelRecordSize + image.size());
  ExpectResources(dir / "2000.EXE", "flashutil.exe");  // the template's, copied

  // Started, it is a flash program: its first sight is the warning, and No ends it.
  {
    Process flasher(dir / "2000.EXE", dir);
    const HWND box = flasher.WaitForWindow("#32770", "Warning");
    ASSERT_NE(box, nullptr) << "the stamped program showed no warning";
    EXPECT_EQ(BoxText(box),
              "\nWARNING:\n\nThis flash utility only supports QVXR CRW-5224A drive with firmware:1000-1FFF"
              "\nPlease REMOVE disc and close all applications before run this utility! "
              "\nDon't turn off the system while the flash is in progress!\n\nDo you wish to continue?\n");
    EXPECT_EQ(flasher.WaitForWindow(Win32Toolkit::kWindowClass, nullptr, 1), nullptr);
    PostMessageA(box, WM_COMMAND, IDNO, 0);
    EXPECT_EQ(flasher.ExitCode(), 0u);
  }
  fs::remove_all(dir);
}

// The template of the simulated-drive build in a fresh directory, with the
// sample model list and firmware, and the flash program it stamps: 1A2B.EXE.
fs::path StampSampleFlashProgram(const char* name) {
  const fs::path dir = fs::temp_directory_path() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(FLASHUTIL_SIM_PROGRAM, dir / "FLASHW.EXE");
  fs::copy_file(FLASHUTIL_SOURCE_DIR "/samples/models.ini", dir / "FLASHW.INI");
  fs::copy_file(FLASHUTIL_SOURCE_DIR "/samples/firmware/1A2B.BIN", dir / "1A2B.BIN");
  Process builder(dir / "FLASHW.EXE", dir);
  const HWND window = builder.WaitForWindow(Win32Toolkit::kWindowClass);
  EXPECT_NE(window, nullptr);
  if (window == nullptr) return dir;
  EXPECT_EQ(ClickFirstFileAndBuild(window), "Build 1A2B.EXE complete!");
  PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(builder.ExitCode(), 0u);
  return dir;
}

// Another process's window's answer to a message of the system; -1 when none came.
LRESULT AnswerOf(HWND window, UINT message, WPARAM wParam) {
  DWORD_PTR answer = 0;
  const bool answered = SendMessageTimeoutA(window, message, wParam, 0, SMTO_NORMAL, 5000, &answer) != 0;
  return answered ? static_cast<LRESULT>(answer) : -1;
}

// Asks the window's group box for its caption until it is the text (at most ten seconds).
bool AwaitCaption(HWND group, const std::string& text) {
  for (int tries = 0; tries < 200; ++tries) {
    if (TextOf(group) == text) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The window of a started flash program once its warning is answered Yes.
struct FlasherWindow {
  HWND Window = nullptr, Combo = nullptr, Group = nullptr, Button = nullptr;
};

bool OpenFlasherWindow(Process& flasher, FlasherWindow& w, int tries = 300) {
  const HWND warning = flasher.WaitForWindow("#32770", "Warning", tries);
  if (warning == nullptr) return false;
  PostMessageA(warning, WM_COMMAND, IDYES, 0);
  w.Window = flasher.WaitForWindow(Win32Toolkit::kWindowClass, nullptr, tries);
  if (w.Window == nullptr) return false;
  w.Combo = GetDlgItem(w.Window, Win32Toolkit::kComboId);
  w.Group = GetDlgItem(w.Window, Win32Toolkit::kGroupId);
  w.Button = GetDlgItem(w.Group, Win32Toolkit::kButtonId);
  return true;
}

// FLASH, and Yes to the question; the question, or null when none came.
HWND PressFlashAndConfirm(Process& flasher, const FlasherWindow& w) {
  PostMessageA(w.Button, BM_CLICK, 0, 0);
  const HWND question = flasher.WaitForWindow("#32770", "Confirm");
  if (question != nullptr) PostMessageA(question, WM_COMMAND, IDYES, 0);
  return question;
}

// FLASH, Yes, and the update to its end (asked for at most `seconds`): the group
// box's last caption, or the text of the box that stopped the update.
std::string UpdateThroughTheWindow(Process& flasher, const FlasherWindow& w, int seconds) {
  const HWND question = PressFlashAndConfirm(flasher, w);
  if (question == nullptr) return "(no question)";
  // The answered box takes a moment to go: until it has, it is no message of the update.
  for (int tries = 0; tries < 100 && IsWindow(question); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string caption;
  for (int tries = 0; tries < seconds * 10; ++tries) {
    caption = TextOf(w.Group);
    if (caption == "Flash Completed." || caption.find("Fail") != std::string::npos) break;
    if (const HWND box = flasher.WaitForWindow("#32770", nullptr, 1)) return "(stopped) " + BoxText(box);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return caption;
}

// The drive's line as the program refreshes it after "Flash Completed.", once the
// drive has answered the INQUIRY that follows: the line while it still reads as before
// after that many tries of 100 ms.
std::wstring RefreshedLine(HWND combo, const std::wstring& before, int tries) {
  std::wstring line = LineOf(combo, 0);
  for (int i = 0; i < tries && line == before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    line = LineOf(combo, 0);
  }
  return line;
}

TEST(BuiltProgram, StampedSimulatedDriveProgramUpdatesTheDriveThroughTheWindow) {
  // The template of the simulated-drive build stamps the sample firmware; the
  // stamped program updates the built-in simulated drive D: through its window.
  const fs::path dir = StampSampleFlashProgram("flashutil-gui-update");
  ASSERT_TRUE(fs::exists(dir / "1A2B.EXE"));

  Process flasher(dir / "1A2B.EXE", dir);
  FlasherWindow w;
  ASSERT_TRUE(OpenFlasherWindow(flasher, w));
  const HWND window = w.Window, combo = w.Combo;
  EXPECT_EQ(TextOf(window), "QVXR Flash Utility V1.050 CRW-5224A");
  const std::wstring before = L"0-0-0 D: QVXR    CRW-5224A       1000";
  EXPECT_EQ(LineOf(combo, 0), before);

  // FLASH; the new revision 1A2B lies above 1000: the question is a confirmation.
  EXPECT_EQ(UpdateThroughTheWindow(flasher, w, 60), "Flash Completed.");
  EXPECT_EQ(RefreshedLine(combo, before, 50), L"0-0-0 D: QVXR    CRW-5224A       1A2B");  // the new revision
  PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(flasher.ExitCode(), 0u);
  EXPECT_TRUE(fs::exists(dir / "cdrw.simstate"));  // the drive kept what it was flashed with
  fs::remove_all(dir);
}

// A stamped flash program updates the simulated drive without a window: a dry
// run, the update, and then nothing to do, each with its JSON document.
TEST(BuiltProgram, UnattendedUpdateWithItsJsonWithoutAWindow) {
  const fs::path dir = StampSampleFlashProgram("flashutil-gui-unattended");
  ASSERT_TRUE(fs::exists(dir / "1A2B.EXE"));
  std::string out, err;
  EXPECT_EQ(RunWithStreams(dir / "1A2B.EXE", "--update --json", out, err), 0u);
  EXPECT_NE(out.find("\"revision_before\":\"1000\",\"revision_after\":null,\"new_revision\":\"1A2B\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"outcome\":\"dry run\""), std::string::npos) << out;

  // The drive's commit takes four seconds; meanwhile the system asks whether the
  // session may end or the machine suspend, and the update's hidden window says no.
  std::ofstream(dir / "simdrives.ini")
      << "[drives]\r\nlist = cdrw\r\n[cdrw]\r\nfault1 = delay 3B control=80 ms=4000\r\n";
  struct Run {
    fs::path Program;
    std::string Out, Err;
    DWORD Status = 99;
    static DWORD WINAPI Thread(LPVOID self) {
      auto* run = static_cast<Run*>(self);
      run->Status = RunWithStreams(run->Program, "--update --yes --json", run->Out, run->Err);
      return 0;
    }
  } update;
  update.Program = dir / "1A2B.EXE";
  HANDLE thread = CreateThread(nullptr, 0, &Run::Thread, &update, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  HWND hold = nullptr;
  for (int tries = 0; tries < 200 && hold == nullptr; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    hold = FindWindowA("FlashUtilityWork", nullptr);
  }
  ASSERT_NE(hold, nullptr);
  EXPECT_FALSE(IsWindowVisible(hold));
  EXPECT_EQ(AnswerOf(hold, WM_QUERYENDSESSION, 0), FALSE);
  EXPECT_EQ(AnswerOf(hold, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND), BROADCAST_QUERY_DENY);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  out = update.Out;
  err = update.Err;
  EXPECT_EQ(update.Status, 0u);
  EXPECT_NE(out.find("\"revision_after\":\"1A2B\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"outcome\":\"updated\""), std::string::npos) << out;
  ASSERT_GE(out.size(), 18u);
  EXPECT_EQ(out.substr(out.size() - 18), "\"exit_status\":0}\r\n");
  EXPECT_NE(err.find("\r\nStatus: Flash Completed.\r\n"), std::string::npos) << err;
  EXPECT_EQ(RunWithStreams(dir / "1A2B.EXE", "--update --yes", out, err), 3u);
  EXPECT_NE(out.find("Already current:"), std::string::npos) << out;
  fs::remove_all(dir);
}

// The pixels per inch Wine gives the programs started while it lives; the test
// prefix has its default (96) again afterwards.
struct WineDpi {
  HKEY Key = nullptr;
  explicit WineDpi(DWORD dpi) {
    RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &Key,
                    nullptr);
    RegSetValueExA(Key, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
  }
  ~WineDpi() {
    RegDeleteValueA(Key, "LogPixels");
    RegCloseKey(Key);
  }
};

TEST(BuiltProgram, WindowAt144DpiIsTheDesignOneAndAHalfTimesAsLarge) {
  // The program declares itself DPI aware and lays its window out for 150 %.
  const fs::path dir = fs::temp_directory_path() / "flashutil-gui-dpi";
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(FLASHUTIL_SIM_PROGRAM, dir / "FLASHW.EXE");
  fs::copy_file(FLASHUTIL_SOURCE_DIR "/samples/models.ini", dir / "FLASHW.INI");
  {
    const WineDpi dpi(144);
    Process builder(dir / "FLASHW.EXE", dir);
    const HWND window = builder.WaitForWindow(Win32Toolkit::kWindowClass);
    ASSERT_NE(window, nullptr);
    ExpectLaidOutAt(window, 144);
    RECT outer;
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.left, 288);  // placed at 192, 128 of the design too
    EXPECT_EQ(outer.top, 192);
    PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(builder.ExitCode(), 0u);
  }
  fs::remove_all(dir);
}

TEST(BuiltProgram, SlowDriveKeepsTheWindowAliveAndWhatTheUserDoesMeanwhileIsDropped) {
  const fs::path dir = StampSampleFlashProgram("flashutil-gui-slow");
  ASSERT_TRUE(fs::exists(dir / "1A2B.EXE"));
  // The sample drive, slow: each image chunk takes 300 ms, the commit seven
  // seconds, longer than the system waits before it calls a window hung.
  std::ofstream(dir / "simdrives.ini")
      << "[drives]\r\nlist = cdrw\r\n[cdrw]\r\nfault1 = delay 3B control=00 ms=300\r\n"
         "fault2 = delay 3B control=80 ms=7000\r\n";

  Process flasher(dir / "1A2B.EXE", dir);
  FlasherWindow w;
  ASSERT_TRUE(OpenFlasherWindow(flasher, w));
  const HWND window = w.Window, combo = w.Combo, group = w.Group, button = w.Button;
  ASSERT_NE(PressFlashAndConfirm(flasher, w), nullptr);

  // While the image goes to the drive the user presses FLASH again, by mouse
  // and by key; the window answers meanwhile.
  ASSERT_TRUE(AwaitCaption(group, "Write BIN to drive's DRAM... "));
  GiveInput(window, button);
  PostMessageA(button, BM_CLICK, 0, 0);
  PostMessageA(window, WM_KEYDOWN, VK_RETURN, 0x001C0001);

  // During the commit the user tries to close the window, and waits.
  ASSERT_TRUE(AwaitCaption(group, "Don't turn off the system, Flash is in progress..."));
  PostMessageA(window, WM_CLOSE, 0, 0);
  PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  PostMessageA(window, WM_SYSKEYDOWN, VK_F4, 0x203E0001);
  // So does the system: may the session end, may it suspend?
  EXPECT_EQ(AnswerOf(window, WM_QUERYENDSESSION, 0), FALSE);
  EXPECT_EQ(AnswerOf(window, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND), BROADCAST_QUERY_DENY);
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));
  EXPECT_FALSE(IsHungAppWindow(window));
  EXPECT_EQ(TextOf(group), "Don't turn off the system, Flash is in progress...");  // answered mid-commit

  ASSERT_TRUE(AwaitCaption(group, "Flash Completed."));
  const fs::file_time_type flashed = fs::last_write_time(dir / "cdrw.simstate");
  // Nothing of what the user did comes after: no second question, no second commit.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(flasher.WaitForWindow("#32770", nullptr, 1), nullptr);
  EXPECT_TRUE(IsWindowVisible(window));
  EXPECT_EQ(TextOf(group), "Flash Completed.");
  EXPECT_EQ(fs::last_write_time(dir / "cdrw.simstate"), flashed);
  EXPECT_EQ(LineOf(combo, 0), L"0-0-0 D: QVXR    CRW-5224A       1A2B");
  EXPECT_EQ(AnswerOf(window, WM_QUERYENDSESSION, 0), TRUE);
  EXPECT_EQ(AnswerOf(window, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND), TRUE);

  PostMessageA(window, WM_CLOSE, 0, 0);  // once the update is over, the window closes
  EXPECT_EQ(flasher.ExitCode(), 0u);
  fs::remove_all(dir);
}

// Enter or Space held down on FLASH: the keyboard's repeated key-downs, which
// carry the previous key state, and the key-up reach the question that the first
// press brought up. They are no answer: it stays, and nothing goes to the drive.
// A key pressed then answers it.
TEST(BuiltProgram, AKeyHeldDownOnFlashDoesNotAnswerTheQuestion) {
  const fs::path dir = StampSampleFlashProgram("flashutil-gui-held");
  for (const WPARAM key : {VK_RETURN, VK_SPACE}) {
    SCOPED_TRACE(key);
    fs::remove(dir / "cdrw.simstate");
    Process flasher(dir / "1A2B.EXE", dir);
    FlasherWindow w;
    ASSERT_TRUE(OpenFlasherWindow(flasher, w));
    PostMessageA(w.Button, BM_CLICK, 0, 0);  // the first press
    const HWND question = flasher.WaitForWindow("#32770", "Confirm");
    ASSERT_NE(question, nullptr);
    const HWND yes = GetDlgItem(question, IDYES);
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(static_cast<UINT>(key), 0)) << 16;
    for (int i = 0; i < 10; ++i) PostMessageA(yes, WM_KEYDOWN, key, scan | 0x40000001);
    PostMessageA(yes, WM_KEYUP, key, scan | static_cast<LPARAM>(0xC0000001));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(IsWindowVisible(question));
    EXPECT_FALSE(fs::exists(dir / "cdrw.simstate"));

    PostMessageA(yes, WM_KEYDOWN, key, scan | 1);
    PostMessageA(yes, WM_KEYUP, key, scan | static_cast<LPARAM>(0xC0000001));
    EXPECT_TRUE(AwaitCaption(w.Group, "Flash Completed."));
    PostMessageA(w.Window, WM_CLOSE, 0, 0);
    EXPECT_EQ(flasher.ExitCode(), 0u);
  }
  fs::remove_all(dir);
}

// WineKernel: run by the kernel stage (scripts/test-kernel) in its emulated
// machine, on the program exactly as the release archive carries it, unpacked
// with the sample model list and firmware into FLASHUTIL_KERNEL_SHIPPED; D: is
// the simulated drive that the kernel serves. The machine is slow and has no
// display (Wine's null graphics driver): every wait is minutes long. Elsewhere
// they skip, and the Windows test run leaves them out.
constexpr int kKernelTries = 3000;  // of 100 ms

fs::path ShippedFolder() {
  const char* folder = std::getenv("FLASHUTIL_KERNEL_SHIPPED");
  return folder == nullptr ? fs::path() : fs::path(folder);
}

TEST(WineKernel, ShippedTemplateStampsTheSampleFirmware) {
  const fs::path dir = ShippedFolder();
  if (dir.empty()) GTEST_SKIP() << "not in the kernel stage's machine";
  Process builder(dir / "flashutil.exe", dir);
  const HWND window = builder.WaitForWindow(Win32Toolkit::kWindowClass, nullptr, kKernelTries);
  ASSERT_NE(window, nullptr) << "the template showed no window";
  EXPECT_EQ(ClickFirstFileAndBuild(window), "Build 1A2B.EXE complete!");
  PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(builder.ExitCode(kKernelTries * 100), 0u);
}

TEST(WineKernel, StampedShippedProgramUpdatesTheDriveThroughItsWindow) {
  const fs::path dir = ShippedFolder();
  if (dir.empty()) GTEST_SKIP() << "not in the kernel stage's machine";
  Process flasher(dir / "1A2B.EXE", dir);
  FlasherWindow w;
  ASSERT_TRUE(OpenFlasherWindow(flasher, w, kKernelTries));
  const std::wstring before = LineOf(w.Combo, 0);
  EXPECT_TRUE(before.ends_with(L"D: QVXR    CRW-5224A       1000")) << before;
  EXPECT_EQ(UpdateThroughTheWindow(flasher, w, kKernelTries / 10), "Flash Completed.");
  EXPECT_EQ(RefreshedLine(w.Combo, before, kKernelTries), before.substr(0, before.size() - 4) + L"1A2B");
  PostMessageA(w.Window, WM_CLOSE, 0, 0);
  EXPECT_EQ(flasher.ExitCode(kKernelTries * 100), 0u);
}

}  // namespace
