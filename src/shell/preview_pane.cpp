#include "shell/preview_pane.h"

#include <objbase.h>
#include <propidl.h>
#include <windowsx.h>
// After the COM headers it needs (PROPID).
#include <gdiplus.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "preview/preview.h"
#include "res/resource.h"
#include "shell/command_states.h"
#include "shell/layout.h"
#include "shell/preview_state.h"
#include "shell/registry.h"
#include "shell/search_session.h"
#include "shell/state.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

namespace gp = Gdiplus::DllExports;

constexpr UINT kPreviewResult = WM_APP + 0x50;  // lParam: a Result the pane owns
constexpr UINT_PTR kSettleTimer = 1;
constexpr UINT kSettleMs = 150;
constexpr size_t kHexShown = 4096;
constexpr int kLabelHeight = 20;
constexpr int kSplitter = 4;  // the drag zone over the pane's top edge

// ---- The worker ------------------------------------------------------------------
// One request waits at most; a newer one replaces it. The generation
// counts the requests made: a read whose generation is not the latest
// stops between chunks, and its result is dropped.

struct Request {
  unsigned generation = 0;
  const EngineRow* engine = nullptr;
  FoundFile file;
  size_t index = 0;  // in the search's found files
};

struct Result {
  unsigned generation = 0;
  size_t index = 0;
  bool read = false;
  preview::Preview preview;
  HBITMAP picture = nullptr;  // decoded here, drawn by the window thread
  int width = 0, height = 0;
  ~Result() {
    if (picture) DeleteObject(picture);
  }
};

struct Worker {
  std::mutex mutex;
  std::condition_variable wake;
  std::optional<Request> pending;
  std::atomic<bool> quit{false};
  std::thread thread;
};

Worker g_worker;
std::atomic<unsigned> g_generation{0};

// ---- The pane's state (window thread) ----------------------------------------------

HWND g_pane = nullptr, g_label = nullptr, g_text = nullptr, g_picture = nullptr;
HFONT g_fixedFont = nullptr;
PreviewPaneSettings g_settings;
bool g_readAllowed = true;
HBITMAP g_shownPicture = nullptr;
int g_pictureWidth = 0, g_pictureHeight = 0;
bool g_dragging = false;
int g_dragStartY = 0, g_dragStartHeight = 0;

// A picture's pixels, decoded by GDI+ from the bytes in memory; null when
// the system cannot decode them (damaged, cut short, '*' fill inside).
HBITMAP DecodePicture(const std::vector<uint8_t>& bytes, int& width, int& height) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (!block) return nullptr;
  if (void* p = GlobalLock(block)) {
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(p));
    GlobalUnlock(block);
  }
  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream))) {
    GlobalFree(block);
    return nullptr;
  }
  HBITMAP out = nullptr;
  Gdiplus::GpBitmap* bitmap = nullptr;
  if (gp::GdipCreateBitmapFromStream(stream, &bitmap) == Gdiplus::Ok && bitmap) {
    UINT w = 0, h = 0;
    gp::GdipGetImageWidth(bitmap, &w);
    gp::GdipGetImageHeight(bitmap, &h);
    // The whole picture is decoded here, while the stream still holds it.
    if (w > 0 && h > 0 && gp::GdipCreateHBITMAPFromBitmap(bitmap, &out, 0xFFFFFFFF) != Gdiplus::Ok) out = nullptr;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    gp::GdipDisposeImage(bitmap);
  }
  stream->Release();
  return out;
}

void RunWorker(HWND pane) {
  // The system's decoders are COM objects behind GDI+.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ULONG_PTR gdiplus = 0;
  Gdiplus::GdiplusStartupInput input;
  const bool decoders = Gdiplus::GdiplusStartup(&gdiplus, &input, nullptr) == Gdiplus::Ok;
  for (;;) {
    Request request;
    {
      std::unique_lock<std::mutex> hold(g_worker.mutex);
      g_worker.wake.wait(hold, [] { return g_worker.quit || g_worker.pending; });
      if (g_worker.quit) break;
      request = std::move(*g_worker.pending);
      g_worker.pending.reset();
    }
    const unsigned generation = request.generation;
    auto superseded = [generation] { return g_generation.load() != generation || g_worker.quit; };
    auto result = std::make_unique<Result>();
    result->generation = generation;
    result->index = request.index;
    try {
      result->read = preview::ReadPreview(*request.engine, request.file, superseded, result->preview);
    } catch (const std::bad_alloc&) {
      // A picture's bytes did not fit in memory: shown as unreadable.
      result->read = false;
      result->preview = preview::Preview{};
    }
    if (superseded()) continue;
    if (result->read && decoders && preview::IsPicture(result->preview.kind))
      result->picture = DecodePicture(result->preview.bytes, result->width, result->height);
    if (PostMessageW(pane, kPreviewResult, 0, reinterpret_cast<LPARAM>(result.get()))) result.release();
  }
  if (decoders) Gdiplus::GdiplusShutdown(gdiplus);
  if (SUCCEEDED(com)) CoUninitialize();
}

void Submit(Request request) {
  {
    std::lock_guard<std::mutex> hold(g_worker.mutex);
    g_worker.pending = std::move(request);
  }
  g_worker.wake.notify_one();
}

// ---- Showing -----------------------------------------------------------------------

std::wstring Wide(const Text& t) { return std::wstring(t.begin(), t.end()); }

void SetPicture(HBITMAP picture, int width, int height) {
  if (g_shownPicture) DeleteObject(g_shownPicture);
  g_shownPicture = picture;
  g_pictureWidth = width;
  g_pictureHeight = height;
}

// The state line (after "&Preview: ") and what the pane shows under it:
// text in the read-only edit control, or the picture.
void Show(const std::wstring& state, const std::wstring& text, HBITMAP picture = nullptr, int width = 0,
          int height = 0) {
  if (!g_pane) return;
  SetPicture(picture, width, height);
  std::wstring label = LibraryString(IDS_PREVIEW_LABEL) + state;
  SetWindowTextW(g_label, label.c_str());
  // The pane's and the picture's own texts name what is shown, for a
  // screen reader and for a test.
  SetWindowTextW(g_pane, state.c_str());
  SetWindowTextW(g_picture, picture ? state.c_str() : L"");
  SetWindowTextW(g_text, text.c_str());
  ShowWindow(g_text, picture ? SW_HIDE : SW_SHOWNA);
  ShowWindow(g_picture, picture ? SW_SHOWNA : SW_HIDE);
  InvalidateRect(g_picture, nullptr, TRUE);
}

void ShowState(UINT id) { Show(LibraryString(id), L""); }

std::wstring Lines(const std::string& ascii) {
  std::wstring out;
  out.reserve(ascii.size() + ascii.size() / 64);
  for (char c : ascii) {
    if (c == '\n') out += L'\r';
    out += static_cast<wchar_t>(static_cast<unsigned char>(c));
  }
  return out;
}

const wchar_t* FormatName(preview::Kind k) {
  switch (k) {
    case preview::Kind::Jpeg: return L"JPEG";
    case preview::Kind::Png: return L"PNG";
    case preview::Kind::Gif: return L"GIF";
    case preview::Kind::Bmp: return L"BMP";
    case preview::Kind::Utf8Text: return L"UTF-8";
    case preview::Kind::Utf16LeText: return L"UTF-16 LE";
    case preview::Kind::Utf16BeText: return L"UTF-16 BE";
    default: return L"";
  }
}

Text T(const wchar_t* w) { return Text(w, w + wcslen(w)); }

std::wstring HexState(const preview::Preview& p) {
  const size_t shown = std::min(p.bytes.size(), kHexShown);
  return FormatLibraryString(IDS_PREVIEW_BYTES, {static_cast<int64_t>(shown), p.size});
}

void ShowResult(Result& r) {
  const preview::Preview& p = r.preview;
  if (!r.read) return ShowState(IDS_PREVIEW_UNREADABLE);
  if (p.size == 0) return ShowState(IDS_PREVIEW_EMPTY);
  // A file zeroed throughout is said so on its row as well.
  if (p.zeroed && r.index < CurrentSearch().states.size()) {
    CurrentSearch().states[r.index].condition.zeroed = true;
    if (Shell().fileList) InvalidateRect(Shell().fileList, nullptr, FALSE);  // its row says so at once
  }
  const std::wstring inUse = p.inUseFill ? LibraryString(IDS_PREVIEW_IN_USE) : std::wstring();
  const std::wstring hex = Lines(preview::HexDump(p.bytes.data(), p.bytes.size(), kHexShown));
  if (p.zeroed) {
    const std::wstring zeros = Lines(preview::HexDump(p.bytes.data(), p.bytes.size(), 256));
    return Show(FormatLibraryString(IDS_PREVIEW_ZEROED, {p.size}),
                LibraryString(IDS_PREVIEW_ZEROED_NOTE) + L"\r\n\r\n" + zeros);
  }
  if (preview::IsPicture(p.kind)) {
    const Text name = T(FormatName(p.kind));
    if (r.picture) {
      Show(FormatLibraryString(IDS_PREVIEW_PICTURE,
                               {TextView(name), static_cast<int64_t>(r.width), static_cast<int64_t>(r.height)}) +
               inUse,
           L"", r.picture, r.width, r.height);
      r.picture = nullptr;  // the pane's now
      return;
    }
    return Show(FormatLibraryString(IDS_PREVIEW_PICTURE_BAD, {TextView(name)}) + L" " + HexState(p) + inUse, hex);
  }
  if (preview::IsText(p.kind)) {
    const Text name = T(FormatName(p.kind));
    return Show(FormatLibraryString(IDS_PREVIEW_TEXT, {TextView(name)}) + inUse,
                Wide(preview::TextOf(p.kind, p.bytes.data(), p.bytes.size())));
  }
  Show(HexState(p) + inUse, hex);
}

// What the selection asks for now: one row, its engine free.
void RequestPreview() {
  if (!g_pane) return;
  KillTimer(g_pane, kSettleTimer);
  const unsigned generation = ++g_generation;
  if (!g_settings.shown) return;
  const int index = SingleSelectedFile();
  const SearchSession& search = CurrentSearch();
  if (index < 0 || static_cast<size_t>(index) >= search.found.size() || !search.engine)
    return ShowState(IDS_PREVIEW_NONE);
  if (!g_readAllowed) return ShowState(IDS_PREVIEW_AFTER_SEARCH);
  ShowState(IDS_PREVIEW_READING);
  Submit(Request{generation, search.engine, search.found[static_cast<size_t>(index)], static_cast<size_t>(index)});
}

void SaveSettings() {
  RegistryStore store;
  SavePreviewPane(store, g_settings);
}

// ---- Windows -----------------------------------------------------------------------

void LayoutPane() {
  RECT r;
  GetClientRect(g_pane, &r);
  const int top = Px(kSplitter), label = Px(kLabelHeight);
  MoveWindow(g_label, Px(4), top, std::max<int>(0, r.right - Px(8)), label, TRUE);
  const int h = std::max<int>(0, r.bottom - top - label);
  MoveWindow(g_text, 0, top + label, r.right, h, TRUE);
  MoveWindow(g_picture, 0, top + label, r.right, h, TRUE);
}

void PaintPicture(HWND w) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(w, &ps);
  RECT r;
  GetClientRect(w, &r);
  FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOW));
  if (g_shownPicture && g_pictureWidth > 0 && g_pictureHeight > 0) {
    // Fitted into the control, never enlarged: a small picture at its size.
    const double scale = std::min({1.0, (r.right - 8) / static_cast<double>(g_pictureWidth),
                                   (r.bottom - 8) / static_cast<double>(g_pictureHeight)});
    const int dw = std::max(1, static_cast<int>(g_pictureWidth * scale));
    const int dh = std::max(1, static_cast<int>(g_pictureHeight * scale));
    const int x = (r.right - dw) / 2, y = (r.bottom - dh) / 2;
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(source, g_shownPicture);
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchBlt(dc, x, y, dw, dh, source, 0, 0, g_pictureWidth, g_pictureHeight, SRCCOPY);
    SelectObject(source, old);
    DeleteDC(source);
  }
  if (GetFocus() == w) {
    RECT f = r;
    InflateRect(&f, -2, -2);
    DrawFocusRect(dc, &f);
  }
  EndPaint(w, &ps);
}

// Tab and Shift+Tab out of the pane's controls: on past the list, or back to it.
bool TabOut(WPARAM key) {
  if (key != VK_TAB) return false;
  if (GetKeyState(VK_SHIFT) & 0x8000) {
    if (Shell().fileList) SetFocus(Shell().fileList);
  } else {
    FocusAfterFileList();
  }
  return true;
}

LRESULT CALLBACK PictureProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: PaintPicture(w); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: InvalidateRect(w, nullptr, FALSE); return 0;
    case WM_LBUTTONDOWN: SetFocus(w); return 0;
    case WM_GETDLGCODE: return DLGC_WANTTAB;
    case WM_KEYDOWN:
      if (TabOut(wp)) return 0;
      break;
    case WM_CHAR:
      if (wp == L'\t') return 0;
      break;
    default: break;
  }
  return DefWindowProcW(w, msg, wp, lp);
}

WNDPROC g_editProc = nullptr;

LRESULT CALLBACK TextProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_GETDLGCODE) return CallWindowProcW(g_editProc, w, msg, wp, lp) | DLGC_WANTTAB;
  if (msg == WM_KEYDOWN && TabOut(wp)) return 0;
  if (msg == WM_CHAR && wp == L'\t') return 0;
  return CallWindowProcW(g_editProc, w, msg, wp, lp);
}

LRESULT CALLBACK PaneProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SIZE: LayoutPane(); return 0;
    case WM_TIMER:
      if (wp == kSettleTimer) RequestPreview();
      return 0;
    case kPreviewResult: {
      std::unique_ptr<Result> result(reinterpret_cast<Result*>(lp));
      if (result && result->generation == g_generation.load()) ShowResult(*result);
      return 0;
    }
    // The pane's top edge is the splitter between it and the list.
    case WM_SETCURSOR:
      if (LOWORD(lp) == HTCLIENT) {
        POINT p;
        GetCursorPos(&p);
        ScreenToClient(w, &p);
        if (p.y < Px(kSplitter) || g_dragging) {
          SetCursor(LoadCursorW(nullptr, IDC_SIZENS));
          return TRUE;
        }
      }
      break;
    case WM_LBUTTONDOWN:
      if (GET_Y_LPARAM(lp) < Px(kSplitter)) {
        POINT p{0, GET_Y_LPARAM(lp)};
        ClientToScreen(w, &p);
        g_dragging = true;
        g_dragStartY = p.y;
        g_dragStartHeight = g_settings.height;
        SetCapture(w);
      }
      return 0;
    case WM_MOUSEMOVE:
      if (g_dragging) {
        POINT p{0, GET_Y_LPARAM(lp)};
        ClientToScreen(w, &p);
        g_settings.height = std::clamp<int>(g_dragStartHeight + (g_dragStartY - p.y), kPreviewMinHeight, kPreviewMaxHeight);
        LayoutChildren(Shell().mainWindow);
      }
      return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
      if (g_dragging) {
        g_dragging = false;
        if (msg == WM_LBUTTONUP) ReleaseCapture();
        SaveSettings();
      }
      return 0;
    case WM_CTLCOLORSTATIC:
      // The read-only edit keeps the window's colours, as a text to read.
      if (reinterpret_cast<HWND>(lp) == g_text) {
        SetBkColor(reinterpret_cast<HDC>(wp), GetSysColor(COLOR_WINDOW));
        SetTextColor(reinterpret_cast<HDC>(wp), GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    default: break;
  }
  return DefWindowProcW(w, msg, wp, lp);
}

void ShowPane(bool shown) {
  g_settings.shown = shown;
  if (g_pane && !shown) ShowWindow(g_pane, SW_HIDE);  // shown where the layout places it
  if (HMENU menu = GetMenu(Shell().mainWindow))
    CheckMenuItem(menu, CMD_PREVIEW_PANE, MF_BYCOMMAND | (shown ? MF_CHECKED : MF_UNCHECKED));
  LayoutChildren(Shell().mainWindow);
}

}  // namespace

bool RegisterPreviewClasses(HINSTANCE program) {
  WNDCLASSEXW pane{};
  pane.cbSize = sizeof pane;
  pane.lpfnWndProc = PaneProc;
  pane.hInstance = program;
  pane.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  pane.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  pane.lpszClassName = kPreviewPaneClass;
  WNDCLASSEXW picture = pane;
  picture.lpfnWndProc = PictureProc;
  picture.hbrBackground = nullptr;
  picture.lpszClassName = kPreviewPictureClass;
  return RegisterClassExW(&pane) && RegisterClassExW(&picture);
}

void CreatePreviewPane(HWND window) {
  ShellState& s = Shell();
  RegistryStore store;
  g_settings = LoadPreviewPane(store);
  g_pane = CreateWindowExW(WS_EX_CONTROLPARENT, kPreviewPaneClass, L"", WS_CHILD | WS_CLIPCHILDREN, 0, 0, 0, 0,
                           window, nullptr, s.program, nullptr);
  if (!g_pane) return;
  const auto font = reinterpret_cast<HFONT>(SendMessageW(s.fileList, WM_GETFONT, 0, 0));
  g_label = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS, 0, 0, 0,
                            0, g_pane, reinterpret_cast<HMENU>(IDC_PREVIEW_LABEL), s.program, nullptr);
  g_text = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                           WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                               ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
                           0, 0, 0, 0, g_pane, reinterpret_cast<HMENU>(IDC_PREVIEW_TEXT), s.program, nullptr);
  g_picture = CreateWindowExW(WS_EX_CLIENTEDGE, kPreviewPictureClass, L"", WS_CHILD | WS_TABSTOP, 0, 0, 0, 0, g_pane,
                              reinterpret_cast<HMENU>(IDC_PREVIEW_PICTURE), s.program, nullptr);
  // Hex dumps line up in a fixed-pitch font.
  LOGFONTW lf{};
  lf.lfHeight = -MulDiv(9, Px(96), 72);
  lf.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  wcscpy(lf.lfFaceName, L"Courier New");
  g_fixedFont = CreateFontIndirectW(&lf);
  if (font) SendMessageW(g_label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SendMessageW(g_text, WM_SETFONT, reinterpret_cast<WPARAM>(g_fixedFont ? g_fixedFont : font), FALSE);
  SendMessageW(g_text, EM_SETLIMITTEXT, 0, 0);
  g_editProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(g_text, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TextProc)));
  ShowState(IDS_PREVIEW_NONE);
  try {
    g_worker.thread = std::thread(RunWorker, g_pane);
  } catch (const std::system_error&) {
    // No thread to read with: the pane stays, saying it is reading.
  }
  ShowPane(g_settings.shown);
}

void DestroyPreviewPane() {
  ++g_generation;
  {
    std::lock_guard<std::mutex> hold(g_worker.mutex);
    g_worker.quit = true;
    g_worker.pending.reset();
  }
  g_worker.wake.notify_one();
  if (g_worker.thread.joinable()) g_worker.thread.join();
  SetPicture(nullptr, 0, 0);
  if (g_pane) DestroyWindow(g_pane);
  if (g_fixedFont) DeleteObject(g_fixedFont);
  g_pane = g_label = g_text = g_picture = nullptr;
  g_fixedFont = nullptr;
}

int PlacePreviewPane(int left, int width, int top, int bottom) {
  if (!g_pane || !g_settings.shown) return bottom;
  const int height = PreviewPaneHeight(g_settings.height, bottom - top);
  ShowWindow(g_pane, height > 0 ? SW_SHOWNA : SW_HIDE);
  if (height == 0) return bottom;
  MoveWindow(g_pane, left, bottom - height, std::max(0, width), height, TRUE);
  return bottom - height;
}

void HidePreviewPane() {
  if (g_pane) ShowWindow(g_pane, SW_HIDE);
}

void TogglePreviewPane() {
  ShowPane(!g_settings.shown);
  SaveSettings();
  if (g_settings.shown) RequestPreview();
  else ++g_generation;  // nothing to read for a hidden pane
}

void FocusPreviewPane() {
  if (!g_pane) return;
  if (!g_settings.shown) TogglePreviewPane();
  TabIntoPreviewPane();
}

bool TabIntoPreviewPane() {
  if (!g_pane || !g_settings.shown || !IsWindowVisible(g_pane)) return false;
  SetFocus(IsWindowVisible(g_picture) ? g_picture : g_text);
  return true;
}

void PreviewSelectionChanged() {
  if (!g_pane || !g_settings.shown) return;
  ++g_generation;  // the read under way is for a row no longer selected
  SetTimer(g_pane, kSettleTimer, kSettleMs, nullptr);
}

void PreviewReadAllowed(bool allowed) {
  g_readAllowed = allowed;
  if (g_pane && g_settings.shown) RequestPreview();
}

void ClearPreview() {
  if (!g_pane) return;
  ++g_generation;
  KillTimer(g_pane, kSettleTimer);
  ShowState(IDS_PREVIEW_NONE);
}

}  // namespace rv::shell
