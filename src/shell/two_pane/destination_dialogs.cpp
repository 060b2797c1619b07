// Where the two-pane view's recovered files go: the destination dialog
// shows the machine's current choice, and the alternate-location dialog
// picks a volume and folder of that machine and checks what was typed.
#include "shell/two_pane/destination_dialogs.h"

#include <string>

#include "res/resource.h"
#include "shell/controls.h"
#include "shell/registry.h"
#include "shell/settings.h"
#include "shell/state.h"

namespace rv::shell {
namespace {

constexpr wchar_t kAlternateTopic[] = L"retriva.chm::/Use_Alternate_Location.htm";
constexpr wchar_t kFromDiskTopic[] = L"retriva.chm::/Using_the_Retriva_From_Disk_Interface.htm";

// One dialog at a time: the folder being shown, always ending in "\".
struct AlternateState {
  MachineRecord* machine = nullptr;
  std::wstring folder;
  bool atRoot = true;
  bool descentPending = false;
  std::wstring beforeDescent;
};
AlternateState g_alt;

std::wstring W(TextView t) { return std::wstring(t.begin(), t.end()); }
Text T(const std::wstring& w) { return Text(w.begin(), w.end()); }

std::vector<const DestinationVolume*> Listed(const MachineRecord& m) {
  std::vector<const DestinationVolume*> out;
  for (const auto& v : m.volumes)
    if (v.listed) out.push_back(&v);
  return out;
}

// The folder's entries come from the service, which lists nothing here:
// only the way up is offered below a volume's root.
void ListFolder(HWND dialog) {
  HWND box = GetDlgItem(dialog, IDC_AL_FOLDERS);
  SendMessageW(box, LB_RESETCONTENT, 0, 0);
  if (g_alt.machine && Shell().session) Shell().session->Request(534, g_alt.folder.c_str(), 0);
  if (!g_alt.atRoot) {
    std::wstring up = LibraryString(417);
    SendMessageW(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(up.c_str()));
  }
}

void OnVolumeChosen(HWND dialog) {
  if (!g_alt.machine) return;
  auto listed = Listed(*g_alt.machine);
  LRESULT at = SendDlgItemMessageW(dialog, IDC_AL_VOLUME, CB_GETCURSEL, 0, 0);
  if (at == CB_ERR || static_cast<size_t>(at) >= listed.size()) return;
  g_alt.folder = W(listed[at]->displayPath) + L"\\";
  g_alt.atRoot = true;
  g_alt.descentPending = false;
  ListFolder(dialog);
}

void UpOneLevel() {
  std::wstring f = g_alt.folder;
  if (f.size() > 1) f.pop_back();  // the trailing "\"
  size_t cut = f.rfind(L'\\');
  g_alt.folder = cut == std::wstring::npos ? g_alt.folder : f.substr(0, cut + 1);
  g_alt.atRoot = true;
}

void OnFolderSelection(HWND dialog, bool doubleClick) {
  HWND box = GetDlgItem(dialog, IDC_AL_FOLDERS);
  LRESULT at = SendMessageW(box, LB_GETCURSEL, 0, 0);
  if (at == LB_ERR) return;
  std::wstring name(static_cast<size_t>(SendMessageW(box, LB_GETTEXTLEN, at, 0)) + 1, L'\0');
  SendMessageW(box, LB_GETTEXT, at, reinterpret_cast<LPARAM>(name.data()));
  name.resize(wcslen(name.c_str()));
  const bool up = name == LibraryString(417);
  if (doubleClick) {
    if (up) {
      if (g_alt.descentPending) g_alt.folder = g_alt.beforeDescent;
      UpOneLevel();
    } else {
      g_alt.atRoot = false;
    }
    g_alt.descentPending = false;
    ListFolder(dialog);
    return;
  }
  if (g_alt.descentPending) {
    g_alt.folder = g_alt.beforeDescent;
    g_alt.descentPending = false;
  }
  HWND edit = GetDlgItem(dialog, IDC_AL_PATH);
  if (up) {
    SetWindowTextW(edit, g_alt.folder.c_str());
  } else {
    g_alt.beforeDescent = g_alt.folder;
    g_alt.folder += name + L"\\";
    g_alt.descentPending = true;
    SetWindowTextW(edit, g_alt.folder.c_str());
  }
}

void InitAlternate(HWND dialog) {
  ShellState& s = Shell();
  MachineRecord& m = *g_alt.machine;
  EnableWindow(GetDlgItem(dialog, IDC_AL_NEW_FOLDER), FALSE);
  HWND combo = GetDlgItem(dialog, IDC_AL_VOLUME);
  auto listed = Listed(m);
  for (const auto* v : listed) {
    std::wstring d = W(v->displayPath);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(d.c_str()));
  }
  if (s.searchPanel && m.selectedVolume < 0)
    for (size_t i = 0; i < listed.size(); ++i) {
      const Text& d = listed[i]->displayPath;
      size_t colon = d.find(u':');
      if (colon != Text::npos && colon >= 1 &&
          ((d[colon - 1] >= u'A' && d[colon - 1] <= u'Z') || (d[colon - 1] >= u'a' && d[colon - 1] <= u'z'))) {
        m.selectedVolume = static_cast<int>(i);
        break;
      }
    }
  SendMessageW(combo, CB_SETCURSEL, m.selectedVolume >= 0 ? m.selectedVolume : 0, 0);
  HWND paths = GetDlgItem(dialog, IDC_AL_PATH);
  ComboList recent(paths);
  RegistryStore store;
  LoadRecentListWithEdit(recent, store, kRecoverPaths);
  if (recent.Count() > 0) SendMessageW(paths, CB_SETCURSEL, 0, 0);
  OnVolumeChosen(dialog);
  HWND name = GetDlgItem(dialog, IDC_AL_NAME);
  SetFocus(name);
  SendMessageW(name, EM_SETSEL, 0, -1);
}

bool OnAlternateOk(HWND dialog) {
  MachineRecord& m = *g_alt.machine;
  std::wstring typed = ItemText(dialog, IDC_AL_PATH);
  if (typed.empty() || typed.back() != L'\\') typed += L'\\';
  m.alternatePath = T(typed);
  DestinationVerdict verdict = CheckDestination(m.alternatePath, m.volumes, m.anyDestinationAllowed);
  if (!verdict.Accepted()) {
    std::wstring caption = LibraryString(312), text = LibraryString(static_cast<UINT>(verdict.refusal));
    MessageBoxW(dialog, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
    SetFocus(GetDlgItem(dialog, IDC_AL_PATH));
    return false;
  }
  m.destination = u"\\\\?\\" + verdict.resolved;
  HWND paths = GetDlgItem(dialog, IDC_AL_PATH);
  std::wstring asTyped = ItemText(dialog, IDC_AL_PATH);
  if (SendMessageW(paths, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(asTyped.c_str())) ==
      CB_ERR)
    SendMessageW(paths, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(asTyped.c_str()));
  ComboList recent(paths);
  RegistryStore store;
  SaveRecentListWithEdit(recent, store, kRecoverPaths, kRecentListMax);
  return true;
}

INT_PTR CALLBACK AlternateProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      g_alt = AlternateState{};
      g_alt.machine = reinterpret_cast<MachineRecord*>(lp);
      InitAlternate(dialog);
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDOK:
          if (OnAlternateOk(dialog)) EndDialog(dialog, 1);
          return TRUE;
        case IDCANCEL: EndDialog(dialog, 0); return TRUE;
        case IDC_AL_HELP: OpenHelp(kAlternateTopic); return TRUE;
        case IDC_AL_FROM_DISK_HELP: OpenHelp(kFromDiskTopic); return TRUE;
        case IDC_AL_VOLUME:
          if (HIWORD(wp) == CBN_SELCHANGE) OnVolumeChosen(dialog);
          return TRUE;
        case IDC_AL_FOLDERS:
          if (HIWORD(wp) == LBN_SELCHANGE) OnFolderSelection(dialog, false);
          if (HIWORD(wp) == LBN_DBLCLK) OnFolderSelection(dialog, true);
          return TRUE;
        default: return FALSE;
      }
    case WM_DESTROY: g_alt = AlternateState{}; return FALSE;
    default: return FALSE;
  }
}

void ShowStatus(HWND dialog, const MachineRecord& m, bool chosen) {
  std::wstring text = chosen ? LibraryString(415) + L"\n" + W(m.alternatePath) : LibraryString(414);
  SetDlgItemTextW(dialog, IDC_DS_STATUS, text.c_str());
}

INT_PTR CALLBACK DestinationProc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  auto* m = reinterpret_cast<MachineRecord*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dialog, DWLP_USER, lp);
      ShowStatus(dialog, *reinterpret_cast<MachineRecord*>(lp), false);
      return TRUE;
    case WM_COMMAND:
      if (!m) return FALSE;
      switch (LOWORD(wp)) {
        case IDC_DS_ALTERNATE: {
          INT_PTR r = DialogBoxParamW(Shell().resourceLibrary, MAKEINTRESOURCEW(IDD_ALTERNATE_LOCATION), dialog,
                                      AlternateProc, reinterpret_cast<LPARAM>(m));
          if (r == 1 && !m->destination.empty()) {
            ShowStatus(dialog, *m, true);
          } else {
            m->destination.clear();
            ShowStatus(dialog, *m, false);
          }
          return TRUE;
        }
        case IDOK: EndDialog(dialog, 1); return TRUE;
        case IDCANCEL:
          m->destination.clear();
          EndDialog(dialog, 0);
          return TRUE;
        default: return FALSE;
      }
    default: return FALSE;
  }
}

}  // namespace

bool ChooseDestination(HWND owner, MachineRecord& machine) {
  return DialogBoxParamW(Shell().resourceLibrary, MAKEINTRESOURCEW(IDD_DESTINATION), owner, DestinationProc,
                         reinterpret_cast<LPARAM>(&machine)) == 1;
}

}  // namespace rv::shell
