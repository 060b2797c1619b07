// The volume tree's own behaviour: its right border is the splitter between
// the two panes, it paints a watermark into its empty bottom-right corner,
// and it keeps the keyboard and mouse from acting while the program is busy.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>

#include "res/resource.h"
#include "shell/layout.h"
#include "shell/state.h"
#include "shell/views.h"

namespace rv::shell {
namespace {

// The splitter zone reaches from 1 pixel inside the tree's right edge to
// 4 pixels beyond it; the tree holds the mouse while it is in the zone.
constexpr int kZoneInside = 1;
constexpr int kZoneOutside = 4;
// A splitter position leaves at least this much of the window either side.
constexpr int kMinLeft = 50;
constexpr int kMinRight = 100;
// The tree at x - (window left) - 5, the list at x - (window left) - 2.
constexpr int kTreeFromSplitter = 5;
constexpr int kListFromSplitter = 2;
constexpr int kWatermarkWidth = 150;
constexpr int kWatermarkHeight = 200;

WNDPROC g_treeProc = nullptr;
bool g_inZone = false;    // the mouse is captured for the splitter
bool g_dragging = false;
int g_dragStartWidth = 0;  // the tree's width when the drag began
HCURSOR g_splitterCursor = nullptr;
HBITMAP g_watermark = nullptr;
bool g_watermarkTried = false;

bool Blocked() { return Shell().busy; }

int TreeWidth(HWND tree) {
  RECT r;
  GetWindowRect(tree, &r);
  return r.right - r.left;
}

bool InZone(HWND tree, POINT screen) {
  RECT r;
  GetWindowRect(tree, &r);
  return screen.y >= r.top && screen.y < r.bottom && screen.x >= r.right - kZoneInside &&
         screen.x <= r.right + kZoneOutside;
}

void MoveSplitter(int screenX) {
  ShellState& s = Shell();
  RECT window;
  GetWindowRect(s.mainWindow, &window);
  if (screenX <= window.left + kMinLeft || screenX >= window.right - kMinRight) return;
  // The layout puts the list kPaneGap right of the tree, which is where
  // x - (window left) - 2 falls.
  static_assert(kTreeFromSplitter - kListFromSplitter == kPaneGap);
  s.treeWidth = screenX - window.left - kTreeFromSplitter;
  LayoutChildren(s.mainWindow);
  UpdateWindow(s.mainWindow);
}

void LeaveZone() {
  g_inZone = false;
  g_dragging = false;
  if (GetCapture()) ReleaseCapture();
}

void OnMouseMove(HWND tree, WPARAM buttons) {
  POINT p;
  GetCursorPos(&p);
  if (g_dragging) {
    if (buttons & MK_LBUTTON) MoveSplitter(p.x);
    return;
  }
  if (Blocked() || !InZone(tree, p)) {
    if (g_inZone) LeaveZone();
    return;
  }
  if (!g_splitterCursor) g_splitterCursor = LoadCursorW(Shell().resourceLibrary, MAKEINTRESOURCEW(IDC_SPLITTER));
  SetCursor(g_splitterCursor ? g_splitterCursor : LoadCursorW(nullptr, IDC_SIZEWE));
  if (!g_inZone) {
    g_inZone = true;
    SetCapture(tree);
  }
}

// The watermark shows only where the tree drew its background, so items
// and lines are never covered.
void DrawWatermark(HWND tree, HDC dc, const RECT& client) {
  if (!g_watermarkTried) {
    g_watermarkTried = true;
    g_watermark = static_cast<HBITMAP>(LoadImageW(Shell().resourceLibrary, MAKEINTRESOURCEW(IDB_TREE_WATERMARK),
                                                  IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  }
  if (!g_watermark) return;
  int w = std::min<int>(kWatermarkWidth, client.right), h = std::min<int>(kWatermarkHeight, client.bottom);
  if (w <= 0 || h <= 0) return;
  int left = client.right - w, top = client.bottom - h;

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  // The tree's pixels of that corner.
  void* treeBits = nullptr;
  HBITMAP corner = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &treeBits, nullptr, 0);
  void* markBits = nullptr;
  HBITMAP mark = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &markBits, nullptr, 0);
  if (!corner || !mark) {
    if (corner) DeleteObject(corner);
    if (mark) DeleteObject(mark);
    return;
  }
  HDC work = CreateCompatibleDC(dc);
  HDC source = CreateCompatibleDC(dc);
  HGDIOBJ oldWork = SelectObject(work, corner);
  BitBlt(work, 0, 0, w, h, dc, left, top, SRCCOPY);
  SelectObject(work, mark);
  HGDIOBJ oldSource = SelectObject(source, g_watermark);
  BITMAP bm{};
  GetObjectW(g_watermark, sizeof bm, &bm);
  SetStretchBltMode(work, HALFTONE);
  StretchBlt(work, 0, 0, w, h, source, 0, 0, bm.bmWidth, bm.bmHeight, SRCCOPY);
  GdiFlush();

  COLORREF back = TreeView_GetBkColor(tree);
  if (back == static_cast<COLORREF>(-1)) back = GetSysColor(COLOR_WINDOW);
  const uint32_t background = (GetRValue(back) << 16) | (GetGValue(back) << 8) | GetBValue(back);
  auto* t = static_cast<uint32_t*>(treeBits);
  auto* m = static_cast<const uint32_t*>(markBits);
  for (int i = 0; i < w * h; ++i)
    if ((t[i] & 0xFFFFFF) == background) t[i] = m[i];
  SelectObject(work, corner);
  BitBlt(dc, left, top, w, h, work, 0, 0, SRCCOPY);

  SelectObject(source, oldSource);
  SelectObject(work, oldWork);
  DeleteDC(source);
  DeleteDC(work);
  DeleteObject(mark);
  DeleteObject(corner);
}

// Drawn off screen first, so the watermark never flickers over the items.
void Paint(HWND tree) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(tree, &ps);
  RECT client;
  GetClientRect(tree, &client);
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, std::max<int>(1, client.right), std::max<int>(1, client.bottom));
  if (memory && bitmap) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    COLORREF back = TreeView_GetBkColor(tree);
    HBRUSH brush = CreateSolidBrush(back == static_cast<COLORREF>(-1) ? GetSysColor(COLOR_WINDOW) : back);
    FillRect(memory, &client, brush);
    DeleteObject(brush);
    CallWindowProcW(g_treeProc, tree, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT);
    DrawWatermark(tree, memory, client);
    BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  EndPaint(tree, &ps);
}

// Tab goes to the search panel when there is one, else to the file list
// when it has rows; the list's row 0 takes the focus mark when no row is
// selected, so the keyboard lands somewhere visible.
void OnTab() {
  ShellState& s = Shell();
  if (s.searchPanel) {
    SetFocus(s.searchPanel);
    return;
  }
  if (!s.fileList || ListView_GetItemCount(s.fileList) == 0) return;
  if (ListView_GetSelectedCount(s.fileList) == 0) ListView_SetItemState(s.fileList, 0, LVIS_FOCUSED, LVIS_FOCUSED);
  SetFocus(s.fileList);
}

bool IsArrow(WPARAM key) { return key == VK_LEFT || key == VK_RIGHT || key == VK_UP || key == VK_DOWN; }

LRESULT CALLBACK TreeProc(HWND tree, UINT msg, WPARAM wp, LPARAM lp) {
  ShellState& s = Shell();
  switch (msg) {
    case WM_ERASEBKGND: return 1;
    case WM_PAINT:
      if (wp) break;  // a caller's own device context
      Paint(tree);
      return 0;
    case WM_SETFOCUS:
    case WM_MOUSEACTIVATE: s.activePane = ActivePane::Tree; break;
    case WM_SETCURSOR:
      if (s.busy) {
        SetCursor(s.waitCursor ? s.waitCursor : LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      if (g_inZone) return TRUE;  // the splitter cursor is already set
      break;
    case WM_MOUSEMOVE:
      if (g_inZone || g_dragging || !Blocked()) OnMouseMove(tree, wp);
      if (g_inZone) return 0;
      break;
    case WM_LBUTTONDOWN:
      if (g_inZone && !Blocked()) {
        g_dragging = true;
        g_dragStartWidth = TreeWidth(tree);
        return 0;
      }
      break;
    case WM_LBUTTONUP:
      if (g_dragging) {
        LeaveZone();
        return 0;
      }
      break;
    case WM_CAPTURECHANGED:
      if (reinterpret_cast<HWND>(lp) != tree) {
        g_inZone = false;
        g_dragging = false;
      }
      break;
    case WM_RBUTTONDOWN:
      if (!Blocked()) {
        TVHITTESTINFO hit{};
        hit.pt = {static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
        if (HTREEITEM item = TreeView_HitTest(tree, &hit)) TreeView_SelectItem(tree, item);
      }
      break;
    case WM_KEYDOWN:
      if (wp == VK_ESCAPE && g_dragging) {
        Shell().treeWidth = g_dragStartWidth;
        LayoutChildren(Shell().mainWindow);
        LeaveZone();
        return 0;
      }
      if (IsArrow(wp) && Blocked()) return 0;
      if (wp == VK_TAB) {
        OnTab();
        return 0;
      }
      break;
    case WM_CHAR:
      if (wp == L'\t') return 0;
      break;
    case WM_GETDLGCODE: return CallWindowProcW(g_treeProc, tree, msg, wp, lp) | DLGC_WANTTAB;
    default: break;
  }
  return CallWindowProcW(g_treeProc, tree, msg, wp, lp);
}

}  // namespace

void SubclassVolumeTree(HWND tree) {
  g_treeProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(tree, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(TreeProc)));
}

bool TreeDragInProgress() { return g_dragging; }

}  // namespace rv::shell
