#include "toolkit/win32/Win32Toolkit.h"

#include <commctrl.h>
#include <process.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <utility>
#include <vector>

#include "app/FlashForm.h"
#include "common/System.h"
#include "platform/windows/WinSystem.h"

namespace {

// The window's client area is Panel1: 425 x 201 pixels at (0, 0); the window
// fits it. The outer size comes to the designed 433 x 235 with standard borders.
constexpr int kLeft = 192;
constexpr int kTop = 128;
constexpr int kPanelWidth = 425;
constexpr int kPanelHeight = 201;
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// ComboBox: 24 pixels high when closed (a selection field of 18 and its frame);
// the list drops down eight items of 16 deep. FileListBox1: items of 16.
constexpr int kComboHeight = 24;
constexpr int kComboFieldHeight = 18;
constexpr int kItemHeight = 16;
constexpr int kComboDropItems = 8;

// The design's pixels per inch, and the controls' places in it: left, top,
// width and height in the parent (the bar and the button lie in the group box).
constexpr int kDesignDpi = 96;
struct Place {
  int Left, Top, Width, Height;
};
constexpr Place kLabelPlace = {16, 16, 369, 25};
constexpr Place kComboPlace = {16, 40, 385, kComboHeight};
constexpr Place kFileListPlace = {16, 72, 385, 41};
constexpr Place kGroupPlace = {16, 128, 385, 49};
constexpr Place kProgressPlace = {8, 16, 305, 25};
constexpr Place kButtonPlace = {320, 16, 57, 25};
constexpr int kFontHeight = 16;

// GroupBox2's caption starts this far in and ends as far from the right edge.
constexpr int kCaptionInset = 8;
constexpr char kCaptionCut[] = "...";
// Letters of a cut word that are not worth showing.
constexpr std::size_t kWordRemnant = 6;

// A wait looks at the message queue at least this often, and the window's own
// work gives it a moment as often.
constexpr DWORD kPumpMilliseconds = 50;

// Keys and clicks, on the client area and on the frame.
constexpr struct {
  UINT First, Last;
} kInputRanges[] = {
    {WM_KEYFIRST, WM_KEYLAST},
    {WM_MOUSEFIRST, WM_MOUSELAST},
    {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
};

bool IsInput(UINT message) {
  return std::any_of(std::begin(kInputRanges), std::end(kInputRanges), [message](const auto& range) {
    return message >= range.First && message <= range.Last;
  });
}

int TextWidth(HDC dc, const std::string& text) {
  SIZE size = {};
  GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
  return size.cx;
}

// How many characters of the text fit into the width.
std::size_t FittingLength(HDC dc, const std::string& text, int width) {
  if (width <= 0 || text.empty()) return 0;
  INT fit = 0;
  SIZE size = {};
  if (!GetTextExtentExPointA(dc, text.data(), static_cast<int>(text.size()), width, &fit, nullptr, &size)) {
    return 0;
  }
  return static_cast<std::size_t>(std::clamp<INT>(fit, 0, static_cast<INT>(text.size())));
}

HWND MakeControl(HWND parent, DWORD exStyle, const char* kind, const char* text, DWORD style, int x, int y,
                 int width, int height, int id) {
  return CreateWindowExA(exStyle, kind, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                         nullptr);
}

// The system's DPI functions of Windows 8.1 and 10, where the system has them:
// the program starts on systems as old as Windows 98, whose loader would refuse
// a program that imports them.
#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

template <typename Function>
Function SystemFunction(const char* module, const char* name) {
  const HMODULE loaded = GetModuleHandleA(module);
  if (loaded == nullptr) return nullptr;
  // (through a function type without parameters, which converts to any other)
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(loaded, name)));
}

// The pixels per inch of the screen, as systems before per-monitor scaling have them.
UINT ScreenDpi() {
  const HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kDesignDpi;
}

// The pixels per inch of the window's monitor (Windows 10), else the screen's.
UINT WindowDpi(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow =
      SystemFunction<GetDpiForWindowFunction>("user32.dll", "GetDpiForWindow");
  const UINT dpi = (getDpiForWindow != nullptr && window != nullptr) ? getDpiForWindow(window) : 0;
  return dpi > 0 ? dpi : ScreenDpi();
}

// The outer rectangle of a window with this client rectangle at the dpi.
void AdjustFrame(RECT& frame, DWORD style, UINT dpi) {
  using AdjustFunction = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjustForDpi = SystemFunction<AdjustFunction>("user32.dll", "AdjustWindowRectExForDpi");
  if (adjustForDpi == nullptr || !adjustForDpi(&frame, style, FALSE, 0, dpi)) {
    AdjustWindowRectEx(&frame, style, FALSE, 0);
  }
}

// Windows 10 1607 scales the frame of a per-monitor (v1) window only when asked;
// v2 windows have it anyway.
void ScaleFrameWithDpi(HWND window) {
  using EnableFunction = BOOL(WINAPI*)(HWND);
  static const auto enable = SystemFunction<EnableFunction>("user32.dll", "EnableNonClientDpiScaling");
  if (enable != nullptr) enable(window);
}

int ScaledBy(int designed, UINT dpi) {
  return MulDiv(designed, static_cast<int>(dpi), kDesignDpi);
}

// Places a control for the dpi: each edge of its designed rectangle scaled, so
// neighbouring controls keep their gaps.
void PlaceControl(HWND control, const Place& place, UINT dpi, int designedHeight) {
  const int left = ScaledBy(place.Left, dpi), top = ScaledBy(place.Top, dpi);
  SetWindowPos(control, nullptr, left, top, ScaledBy(place.Left + place.Width, dpi) - left,
               ScaledBy(place.Top + designedHeight, dpi) - top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// "System", bold, 16 pixels at 96 pixels per inch, in the given character set.
HFONT MakeWindowFont(BYTE charset, UINT dpi = kDesignDpi) {
  return CreateFontA(-ScaledBy(kFontHeight, dpi), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, charset,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                     "System");
}

// Whether the font the system gives for a request draws Latin letters. A system
// without a Big5 font may hand out a fallback font of that character set that
// holds none, and every text would show as empty boxes.
// GetGlyphIndicesA came with Windows 2000: before it the font is taken as it is.
bool DrawsLatinLetters(HFONT font) {
  using GetGlyphIndicesFunction = DWORD(WINAPI*)(HDC, LPCSTR, int, LPWORD, DWORD);
  static const auto getGlyphIndices = reinterpret_cast<GetGlyphIndicesFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("GDI32.DLL"), "GetGlyphIndicesA")));
  if (getGlyphIndices == nullptr) return true;
  const HDC screen = GetDC(nullptr);
  const HGDIOBJ previous = SelectObject(screen, font);
  WORD glyphs[4] = {};
  const DWORD found = getGlyphIndices(screen, "AZaz", 4, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(screen, previous);
  ReleaseDC(nullptr, screen);
  if (found == GDI_ERROR) return true;  // a font without glyph indices (a raster font) draws its own letters
  for (WORD glyph : glyphs) {
    if (glyph == 0xFFFF) return false;
  }
  return true;
}

}  // namespace

Win32Toolkit::Win32Toolkit() = default;

Win32Toolkit::~Win32Toolkit() {
  if (worker_ != nullptr) {
    workerQuit_ = true;
    SetEvent(workerGo_);
    WaitForSingleObject(worker_, INFINITE);
    CloseHandle(worker_);
  }
  if (workerGo_ != nullptr) CloseHandle(workerGo_);
  if (workerDone_ != nullptr) CloseHandle(workerDone_);
  if (window_ != nullptr) {
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (font_ != nullptr) DeleteObject(font_);
}

HWND Win32Toolkit::Control(int id) const {
  switch (id) {
    case kLabelId:
      return label_;
    case kComboId:
      return combo_;
    case kFileListId:
      return files_;
    case kGroupId:
      return group_;
    case kProgressId:
      return progress_;
    case kButtonId:
      return button_;
    default:
      return nullptr;
  }
}

void Win32Toolkit::SetApplicationTitle(const std::string& title) {
  title_ = title;
}

void Win32Toolkit::CreateMainWindow(TFlashForm& form) {
  form_ = &form;
  const HINSTANCE instance = GetModuleHandleA(nullptr);

  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&controls);

  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &Win32Toolkit::WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));  // the program's icon (none in a test)
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExA(&windowClass);  // fails harmlessly when a second window registers it again

  // Placed for the screen's pixels per inch; laid out below for its monitor's.
  dpi_ = ScreenDpi();
  RECT frame = {0, 0, Scaled(kPanelWidth), Scaled(kPanelHeight)};
  AdjustFrame(frame, kWindowStyle, dpi_);
  window_ =
      CreateWindowExA(0, kWindowClass, "", kWindowStyle, Scaled(kLeft), Scaled(kTop),
                      frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, this);

  // "System", bold, 16 pixels, character set Chinese Big5; the system's default
  // character set where the Big5 font it offers cannot draw the texts.
  const HFONT big5 = MakeWindowFont(CHINESEBIG5_CHARSET);
  fontCharset_ = DrawsLatinLetters(big5) ? CHINESEBIG5_CHARSET : DEFAULT_CHARSET;
  DeleteObject(big5);

  // The controls are placed by LayOut.
  label_ = MakeControl(window_, 0, "STATIC", "", SS_LEFT | SS_NOPREFIX, 0, 0, 0, 0, kLabelId);
  combo_ = MakeControl(window_, 0, "COMBOBOX", "", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP,
                       0, 0, 0, 0, kComboId);
  files_ = MakeControl(window_, WS_EX_CLIENTEDGE, "LISTBOX", "",
                       LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP, 0, 0, 0, 0, kFileListId);
  group_ = MakeControl(window_, WS_EX_CONTROLPARENT, "BUTTON", "", BS_GROUPBOX | WS_CLIPCHILDREN, 0, 0, 0, 0,
                       kGroupId);
  // The group box is the parent of the bar and the button, as designed; what
  // they report goes on to the window.
  SetWindowLongPtrA(group_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  groupDefault_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(group_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32Toolkit::GroupProcedure)));
  progress_ = MakeControl(group_, 0, PROGRESS_CLASSA, "", PBS_SMOOTH, 0, 0, 0, 0, kProgressId);
  button_ = MakeControl(group_, 0, "BUTTON", "FLASH", BS_PUSHBUTTON | WS_TABSTOP, 0, 0, 0, 0, kButtonId);
  SendMessageA(progress_, PBM_SETRANGE32, 0, 100);
  LayOut(WindowDpi(window_));
}

int Win32Toolkit::Scaled(int designed) const {
  return ScaledBy(designed, dpi_);
}

void Win32Toolkit::PlaceControls() {
  if (window_ == nullptr) return;
  LOGFONTA shown = {};
  if (font_ == nullptr || GetObjectA(font_, sizeof shown, &shown) == 0 ||
      shown.lfHeight != -Scaled(kFontHeight)) {
    const HFONT previous = font_;
    font_ = MakeWindowFont(fontCharset_, dpi_);
    for (HWND control : {label_, combo_, files_, group_, progress_, button_}) {
      SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), shown_ ? TRUE : FALSE);
    }
    if (previous != nullptr) DeleteObject(previous);
  }
  PlaceControl(label_, kLabelPlace, dpi_, kLabelPlace.Height);
  // A drop-down combo box's window holds its list too.
  PlaceControl(combo_, kComboPlace, dpi_, kComboPlace.Height + kComboDropItems * kItemHeight);
  PlaceControl(files_, kFileListPlace, dpi_, kFileListPlace.Height);
  PlaceControl(group_, kGroupPlace, dpi_, kGroupPlace.Height);
  PlaceControl(progress_, kProgressPlace, dpi_, kProgressPlace.Height);
  PlaceControl(button_, kButtonPlace, dpi_, kButtonPlace.Height);

  // The lines of a drop-down combo box are as high as its font makes them; only
  // its selection field takes a height: the one that makes the closed box as
  // high as designed, with the frame the system draws around it.
  const int field = Scaled(kComboFieldHeight);
  SendMessageA(combo_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  RECT closed = {};
  GetWindowRect(combo_, &closed);
  const int height = Scaled(kComboPlace.Top + kComboPlace.Height) - Scaled(kComboPlace.Top);
  if (closed.bottom - closed.top != height && field + height - (closed.bottom - closed.top) > 0) {
    SendMessageA(combo_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
                 field + height - (closed.bottom - closed.top));
  }
  SendMessageA(files_, LB_SETITEMHEIGHT, 0, Scaled(kItemHeight));
}

void Win32Toolkit::LayOut(UINT dpi) {
  if (window_ == nullptr || dpi == 0) return;
  dpi_ = dpi;
  PlaceControls();
  // The client area fits Panel1 inside the frame the window has.
  RECT outer = {}, client = {};
  GetWindowRect(window_, &outer);
  GetClientRect(window_, &client);
  SetWindowPos(window_, nullptr, 0, 0, Scaled(kPanelWidth) + (outer.right - outer.left) - client.right,
               Scaled(kPanelHeight) + (outer.bottom - outer.top) - client.bottom,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(window_, nullptr, TRUE);
}

void Win32Toolkit::ShowMainWindow() {
  if (closed_ || window_ == nullptr) return;
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  shown_ = true;
}

void Win32Toolkit::RunMessageLoop() {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (window_ != nullptr && IsDialogMessageA(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void Win32Toolkit::CloseWindow() {
  closed_ = true;
  if (window_ == nullptr) return;
  ShowWindow(window_, SW_HIDE);
  // A window still under construction is only hidden; a shown one closes once
  // the running handler has returned.
  if (shown_) PostMessageA(window_, WM_CLOSE, 0, 0);
}

void Win32Toolkit::PostQuit(int exitCode) {
  PostQuitMessage(exitCode);
}

namespace {

// While a message box is up, only a key pressed after it appeared reaches it. A
// key that was already down when it opened (Enter held on FLASH past the
// keyboard's repeat delay) arrives as repeated key-downs, which carry the
// previous key state, and at last a key-up whose key-down the box never saw:
// neither is a press, so holding a key never answers the box it opened. The box's
// own message loop shows this thread's hook every message before it acts on it.
struct FreshKeys {
  HHOOK Hook = nullptr;
  bool Pressed[256] = {};  // keys pressed since the box appeared
};
FreshKeys* gFreshKeys = nullptr;  // the box on the window's thread, while one is up

bool DroppedFromBox(const MSG& message) {
  const bool down = message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN;
  const bool up = message.message == WM_KEYUP || message.message == WM_SYSKEYUP;
  if (gFreshKeys == nullptr || (!down && !up)) return false;
  bool& pressed = gFreshKeys->Pressed[message.wParam & 0xFF];
  constexpr LPARAM kWasDown = LPARAM{1} << 30;
  if (down && (message.lParam & kWasDown) != 0) return true;
  if (up && !pressed) return true;
  pressed = down;
  return false;
}

LRESULT CALLBACK FilterBoxKeys(int code, WPARAM wParam, LPARAM lParam) {
  if (code >= 0 && DroppedFromBox(*reinterpret_cast<const MSG*>(lParam)))
    return 1;  // taken: it goes no further
  return CallNextHookEx(gFreshKeys != nullptr ? gFreshKeys->Hook : nullptr, code, wParam, lParam);
}

int ShowBox(Win32Toolkit::MessageBoxFunction show, HWND owner, const char* text, const char* title,
            UINT style) {
  FreshKeys keys;
  FreshKeys* const outer = std::exchange(gFreshKeys, &keys);
  keys.Hook = SetWindowsHookExA(WH_MSGFILTER, &FilterBoxKeys, nullptr, GetCurrentThreadId());
  const int answer = show(owner, text, title, style);
  if (keys.Hook != nullptr) UnhookWindowsHookEx(keys.Hook);
  gFreshKeys = outer;
  return answer;
}

}  // namespace

void Win32Toolkit::ShowException(const std::string& text) {
  if (working_) DropInput();
  ShowBox(messageBox_, DialogOwner(), text.c_str(), title_.c_str(), MB_OK | MB_ICONERROR);
}

std::string Win32Toolkit::TextOf(HWND control) const {
  if (control == nullptr) return {};
  const int length = GetWindowTextLengthA(control);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int copied = GetWindowTextA(control, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

void Win32Toolkit::SetWindowCaption(const std::string& caption) {
  SetWindowTextA(window_, caption.c_str());
}

std::string Win32Toolkit::WindowCaption() const {
  return TextOf(window_);
}

void Win32Toolkit::SetLabelCaption(const std::string& caption) {
  SetWindowTextA(label_, caption.c_str());
}

int Win32Toolkit::ComboCount() const {
  return static_cast<int>(SendMessageA(combo_, CB_GETCOUNT, 0, 0));
}

std::string Win32Toolkit::ComboLine(int index) const {
  const LRESULT length = SendMessageA(combo_, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::string line(static_cast<std::size_t>(length) + 1, '\0');
  const LRESULT copied =
      SendMessageA(combo_, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(line.data()));
  line.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
  return line;
}

void Win32Toolkit::ComboAdd(const std::string& line) {
  SendMessageA(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

void Win32Toolkit::ComboInsert(int index, const std::string& line) {
  SendMessageA(combo_, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(line.c_str()));
}

void Win32Toolkit::ComboDelete(int index) {
  SendMessageA(combo_, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

int Win32Toolkit::ComboIndex() const {
  if (comboTyped_) return -1;
  return static_cast<int>(SendMessageA(combo_, CB_GETCURSEL, 0, 0));
}

void Win32Toolkit::ComboSelect(int index) {
  comboTyped_ = false;
  SendMessageA(combo_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void Win32Toolkit::ComboRedraw() {
  InvalidateRect(combo_, nullptr, TRUE);
  UpdateWindow(combo_);
}

void Win32Toolkit::FileListShow(const std::string&, const std::vector<std::string>& names) {
  SendMessageA(files_, LB_RESETCONTENT, 0, 0);
  for (const std::string& name : names) {
    SendMessageA(files_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
}

void Win32Toolkit::FileListSetVisible(bool visible) {
  ShowWindow(files_, visible ? SW_SHOW : SW_HIDE);
}

void Win32Toolkit::SetGroupCaption(const std::string& caption) {
  SetWindowTextA(group_, caption.c_str());
  RedrawWindow(group_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  KeepAlive();
}

std::string Win32Toolkit::GroupCaption() const {
  return TextOf(group_);
}

std::string Win32Toolkit::FittedCaption(HDC dc, const std::string& caption) const {
  RECT area = {};
  GetClientRect(group_, &area);
  const int width = area.right - area.left - 2 * Scaled(kCaptionInset);
  if (TextWidth(dc, caption) <= width) return caption;
  // Too long for the box: the end says how a stage ended ("..., Fail! "), the
  // start which stage it was; the middle gives way. The end takes up to half.
  const int room = width - TextWidth(dc, kCaptionCut);
  // A part that would show a few letters of a word loses them instead.
  const std::string reversed(caption.rbegin(), caption.rend());
  std::string end = caption.substr(caption.size() - FittingLength(dc, reversed, room / 2));
  const bool endsMidWord = end.size() < caption.size() && caption[caption.size() - end.size() - 1] != ' ';
  if (const std::size_t blank = end.find(' ');
      endsMidWord && blank > 0 && blank <= kWordRemnant && blank + 1 < end.size()) {
    end.erase(0, blank);
  }
  const std::string rest = caption.substr(0, caption.size() - end.size());
  std::string start = rest.substr(0, FittingLength(dc, rest, room - TextWidth(dc, end)));
  const bool startsMidWord = start.size() < rest.size() && rest[start.size()] != ' ';
  if (const std::size_t blank = start.rfind(' ');
      startsMidWord && blank != std::string::npos && blank > 0 && start.size() - blank - 1 <= kWordRemnant) {
    start.erase(blank + 1);
  }
  return start + kCaptionCut + end;
}

std::string Win32Toolkit::ShownGroupCaption() const {
  if (group_ == nullptr) return {};
  const HDC dc = GetDC(group_);
  const HGDIOBJ previous = SelectObject(dc, font_);
  std::string shown = FittedCaption(dc, TextOf(group_));
  SelectObject(dc, previous);
  ReleaseDC(group_, dc);
  return shown;
}

void Win32Toolkit::PaintGroup() {
  // The frame and the caption as a group box draws them, the caption fitted.
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(group_, &paint);
  const HGDIOBJ previous = SelectObject(dc, font_);
  TEXTMETRICA metrics = {};
  GetTextMetricsA(dc, &metrics);
  RECT frame = {};
  GetClientRect(group_, &frame);
  frame.top += metrics.tmHeight / 2 - 1;
  DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
  const std::string shown = FittedCaption(dc, TextOf(group_));
  if (!shown.empty()) {
    const int inset = Scaled(kCaptionInset);
    RECT label = {inset - 1, 0, inset + TextWidth(dc, shown) + 1, metrics.tmHeight + 1};
    FillRect(dc, &label, GetSysColorBrush(COLOR_BTNFACE));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    TextOutA(dc, inset, 0, shown.data(), static_cast<int>(shown.size()));
  }
  SelectObject(dc, previous);
  EndPaint(group_, &paint);
}

void Win32Toolkit::SetProgressMin(int value) {
  progressMin_ = value;
  SendMessageA(progress_, PBM_SETRANGE32, static_cast<WPARAM>(progressMin_), progressMax_);
}

void Win32Toolkit::SetProgressMax(int value) {
  progressMax_ = value;
  SendMessageA(progress_, PBM_SETRANGE32, static_cast<WPARAM>(progressMin_), progressMax_);
}

void Win32Toolkit::SetProgressPosition(int value) {
  SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(value), 0);
  UpdateWindow(progress_);
}

int Win32Toolkit::ProgressPosition() const {
  return static_cast<int>(SendMessageA(progress_, PBM_GETPOS, 0, 0));
}

void Win32Toolkit::SetProgressStep(int value) {
  SendMessageA(progress_, PBM_SETSTEP, static_cast<WPARAM>(value), 0);
}

void Win32Toolkit::ProgressStepIt() {
  SendMessageA(progress_, PBM_STEPIT, 0, 0);
  UpdateWindow(progress_);
  KeepAlive();
}

void Win32Toolkit::SetButtonCaption(const std::string& caption) {
  SetWindowTextA(button_, caption.c_str());
}

void Win32Toolkit::SetButtonEnabled(bool enabled) {
  EnableWindow(button_, enabled ? TRUE : FALSE);
}

HWND Win32Toolkit::DialogOwner() const {
  // Dialogs shown while the window is being created stand on their own.
  return (window_ != nullptr && IsWindowVisible(window_)) ? window_ : nullptr;
}

DialogResult Win32Toolkit::MessageDialog(const std::string& text, DialogKind kind) {
  const char* title = "Error";
  UINT style = MB_ICONERROR | MB_OK;
  if (kind == DialogKind::Warning) {
    title = "Warning";
    style = MB_ICONWARNING | MB_YESNO;
  } else if (kind == DialogKind::Confirmation) {
    title = "Confirm";
    style = MB_ICONQUESTION | MB_YESNO;
  }
  // Keys and clicks given before the box came up must not answer it.
  if (working_) DropInput();
  const int answer = ShowBox(messageBox_, DialogOwner(), text.c_str(), title, style);
  if (kind == DialogKind::Error) return DialogResult::Ok;
  if (answer == IDYES) return DialogResult::Yes;
  if (answer == IDNO) return DialogResult::No;
  return DialogResult::Closed;
}

void Win32Toolkit::ShowMessage(const std::string& text) {
  if (working_) DropInput();
  ShowBox(messageBox_, DialogOwner(), text.c_str(), title_.c_str(), MB_OK);
}

void Win32Toolkit::SetCursor(CursorShape shape) {
  hourglass_ = shape == CursorShape::Hourglass;
  ::SetCursor(LoadCursorA(nullptr, hourglass_ ? IDC_WAIT : IDC_ARROW));
}

std::string Win32Toolkit::UpperCase(const std::string& text) const {
  std::string upper = text;
  if (!upper.empty()) CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
  return upper;
}

std::string Win32Toolkit::CurrentDirectory() const {
  const DWORD needed = GetCurrentDirectoryA(0, nullptr);
  if (needed == 0) return {};
  std::string directory(needed, '\0');
  const DWORD length = GetCurrentDirectoryA(needed, directory.data());
  directory.resize(length < needed ? length : 0);
  // "X:\dir": the drive by its capital letter.
  if (directory.size() >= 2 && directory[1] == ':' && directory[0] >= 'a' && directory[0] <= 'z') {
    directory[0] = static_cast<char>(directory[0] - 'a' + 'A');
  }
  return directory;
}

std::string Win32Toolkit::ProgramFilePath() const {
  for (DWORD size = MAX_PATH;; size *= 2) {
    std::string path(size, '\0');
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), size);
    if (length == 0) return {};
    if (length < size) {
      path.resize(length);
      return path;
    }
  }
}

std::string Win32Toolkit::ProgramStartedPath() const {
  // The first word of the command line, as the C runtime takes argv[0]: in
  // quotation marks up to the closing one, else up to the first blank.
  const char* line = GetCommandLineA();
  if (line == nullptr) return {};
  std::string started;
  if (*line == '"') {
    for (++line; *line != '\0' && *line != '"'; ++line) started += *line;
  } else {
    for (; *line != '\0' && *line != ' ' && *line != '\t'; ++line) started += *line;
  }
  return started;
}

void Win32Toolkit::Sleep(unsigned milliseconds) {
  WaitAlive(nullptr, milliseconds);
}

template <class Handler>
void Win32Toolkit::Run(Handler handler) {
  if (form_ == nullptr) return;
  try {
    handler(*form_);
  } catch (const std::exception& e) {
    ShowException(e.what());
  }
}

void Win32Toolkit::OnCommand(int id, int code) {
  // While the window works or waits for a drive, nothing reaches the form: not a
  // click sent from elsewhere, not one that slipped past the dropped input.
  if (working_ || waiting_ > 0) return;
  if (id == kComboId && code == CBN_SELCHANGE) {
    comboTyped_ = false;
    Run([](TFlashForm& f) { f.ComboBoxChange(); });
  } else if (id == kComboId && code == CBN_EDITCHANGE) {
    comboTyped_ = true;
    Run([](TFlashForm& f) { f.ComboBoxChange(); });
  } else if (id == kFileListId && code == LBN_SELCHANGE) {
    // The row chosen, -1 (LB_ERR) with none.
    const int row = static_cast<int>(SendMessageA(files_, LB_GETCURSEL, 0, 0));
    Run([row](TFlashForm& f) { f.FileListChosen(row); });
  } else if (id == kButtonId && code == BN_CLICKED) {
    Run([](TFlashForm& f) { f.FlashButtonClick(); });
  }
}

LRESULT Win32Toolkit::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_PAINT: {
      // Panel1: a raised edge around the client area.
      PAINTSTRUCT paint;
      const HDC dc = BeginPaint(window_, &paint);
      RECT panel = {};
      GetClientRect(window_, &panel);
      DrawEdge(dc, &panel, BDR_RAISEDINNER, BF_RECT);
      EndPaint(window_, &paint);
      return 0;
    }
    case WM_DPICHANGED: {
      // Moved to a monitor of another scaling (or the scaling changed): the
      // layout for the new dpi, in the rectangle the system suggests.
      dpi_ = LOWORD(wParam);
      PlaceControls();
      const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                   suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
      InvalidateRect(window_, nullptr, TRUE);
      return 0;
    }
    case WM_SETCURSOR:
      if (hourglass_) {
        ::SetCursor(LoadCursorA(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      // Refused during work. A close asked for while the window waits for a
      // drive outside work is taken up by the message loop afterwards.
      if (working_) return 0;
      if (waiting_ > 0) {
        PostMessageA(window_, WM_CLOSE, 0, 0);
        return 0;
      }
      break;
    case WM_SYSCOMMAND:
      if (working_ && (wParam & 0xFFF0) == SC_CLOSE) return 0;
      break;
    case WM_QUERYENDSESSION:
      // Shut down or log off in the middle of an update would ruin the drive.
      if (working_) return FALSE;
      break;
    case WM_POWERBROADCAST:
      // Windows 98 to XP ask before they suspend, and heed the answer. TRUE
      // grants the request, and says that the news was heard.
      return (working_ && wParam == PBT_APMQUERYSUSPEND) ? BROADCAST_QUERY_DENY : TRUE;
    case WM_DESTROY:
      window_ = label_ = combo_ = files_ = group_ = progress_ = button_ = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

LRESULT CALLBACK Win32Toolkit::WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    auto* self = static_cast<Win32Toolkit*>(create->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
    ScaleFrameWithDpi(window);
  }
  auto* self = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr || self->window_ != window) return DefWindowProcA(window, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT CALLBACK Win32Toolkit::GroupProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
      if (self->window_ != nullptr) return SendMessageA(self->window_, message, wParam, lParam);
      break;
    case WM_PAINT:
      if (window == self->group_) {
        self->PaintGroup();
        return 0;
      }
      break;
    case WM_ERASEBKGND: {
      // The caption is redrawn on a clean face: a shorter text leaves nothing behind.
      RECT area;
      GetClientRect(window, &area);
      FillRect(reinterpret_cast<HDC>(wParam), &area, GetSysColorBrush(COLOR_BTNFACE));
      return TRUE;
    }
    default:
      break;
  }
  return CallWindowProcA(self->groupDefault_, window, message, wParam, lParam);
}

void Win32Toolkit::BeginWork() {
  working_ = true;
  lastPump_ = GetTickCount();
  // The shutdown screen of Vista and later names the window and says why it
  // holds the session's end.
  blockReason_ = window_ != nullptr && System().ShutdownBlockReasonCreate(
                                           window_, L"Firmware update in progress, do not turn off") != FALSE;
}

void Win32Toolkit::EndWork() {
  // What was given while the window worked is not acted on afterwards.
  DropInput();
  if (blockReason_ && window_ != nullptr) System().ShutdownBlockReasonDestroy(window_);
  blockReason_ = false;
  working_ = false;
}

bool Win32Toolkit::TakeMessage(MSG& message, UINT first, UINT last) {
  if (!PeekMessageA(&message, nullptr, first, last, PM_REMOVE)) return false;
  if (message.message != WM_QUIT) return true;
  quitKept_ = true;
  quitCode_ = static_cast<int>(message.wParam);
  return false;
}

void Win32Toolkit::DropInput() {
  MSG message;
  for (const auto& range : kInputRanges) {
    while (TakeMessage(message, range.First, range.Last)) {
    }
  }
}

void Win32Toolkit::PumpWhileWaiting() {
  MSG message;
  if (working_) {
    while (TakeMessage(message, 0, 0)) {
      if (!IsInput(message.message)) DispatchMessageA(&message);
    }
  } else {
    // Everything else stays queued for the message loop.
    while (TakeMessage(message, WM_PAINT, WM_PAINT)) DispatchMessageA(&message);
    while (TakeMessage(message, WM_TIMER, WM_TIMER)) DispatchMessageA(&message);
  }
  lastPump_ = GetTickCount();
}

void Win32Toolkit::KeepAlive() {
  if (!working_ || waiting_ > 0 || GetTickCount() - lastPump_ < kPumpMilliseconds) return;
  ++waiting_;
  PumpWhileWaiting();
  --waiting_;
  PassOnQuit();
}

void Win32Toolkit::PassOnQuit() {
  if (!quitKept_ || waiting_ > 0) return;
  quitKept_ = false;
  PostQuitMessage(quitCode_);
}

void Win32Toolkit::WaitAlive(HANDLE handle, DWORD milliseconds) {
  ++waiting_;
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD slice = kPumpMilliseconds;
    if (handle == nullptr) {
      const DWORD waited = GetTickCount() - start;
      if (waited >= milliseconds) break;
      slice = std::min(slice, milliseconds - waited);
    }
    const DWORD woke = MsgWaitForMultipleObjects(
        handle != nullptr ? 1 : 0, handle != nullptr ? &handle : nullptr, FALSE, slice, QS_ALLINPUT);
    if (handle != nullptr && woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_FAILED) {
      // Nothing to wait on with the queue: wait plainly.
      if (handle != nullptr) {
        WaitForSingleObject(handle, INFINITE);
        break;
      }
      ::Sleep(slice);
    }
    PumpWhileWaiting();
  }
  --waiting_;
  PassOnQuit();
}

unsigned __stdcall Win32Toolkit::WorkerMain(void* self) {
  auto& ui = *static_cast<Win32Toolkit*>(self);
  for (;;) {
    WaitForSingleObject(ui.workerGo_, INFINITE);
    if (ui.workerQuit_) return 0;
    try {
      ui.step_(ui.stepContext_);
    } catch (...) {
      ui.stepError_ = std::current_exception();
    }
    SetEvent(ui.workerDone_);
  }
}

void Win32Toolkit::StartWorker() {
  if (workerGo_ == nullptr) workerGo_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (workerDone_ == nullptr) workerDone_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (workerGo_ == nullptr || workerDone_ == nullptr) return;
  worker_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Win32Toolkit::WorkerMain, this, 0, nullptr));
}

void Win32Toolkit::RunBlocking(void (*step)(void*), void* context) {
  if (worker_ == nullptr) StartWorker();
  if (worker_ == nullptr) {  // no thread to be had: the step runs here
    step(context);
    return;
  }
  step_ = step;
  stepContext_ = context;
  stepError_ = nullptr;
  SetEvent(workerGo_);
  WaitAlive(workerDone_, INFINITE);
  if (stepError_) std::rethrow_exception(std::exchange(stepError_, nullptr));
}
