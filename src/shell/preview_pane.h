// The preview pane under the search results: the one selected file's start as
// the volume holds it now, read through the engine that listed it (never
// written anywhere) on a worker thread of its own, one read at a time; a
// newer selection supersedes the read before it. Pictures are decoded by
// the system (GDI+), text is shown as text, anything else as a hex dump,
// all in controls a screen reader reads. Shown or hidden from the View
// menu; its state and height are kept in the registry (preview_state.h).
#pragma once
#include <windows.h>

namespace rv::shell {

constexpr wchar_t kPreviewPaneClass[] = L"RVPreviewPane";
constexpr wchar_t kPreviewPictureClass[] = L"RVPreviewPicture";

bool RegisterPreviewClasses(HINSTANCE program);
// After the file list; the pane's state comes from the registry.
void CreatePreviewPane(HWND window);
// At shutdown, once the engines have stopped: ends the worker.
void DestroyPreviewPane();
// Places the pane at the bottom of the list's space [top, bottom) and
// returns the list's bottom.
int PlacePreviewPane(int left, int width, int top, int bottom);
// Out of the way of the two-pane view, whose rows no engine listed.
void HidePreviewPane();

// The View menu's command, and Alt+P (shows the pane, then focuses it).
void TogglePreviewPane();
void FocusPreviewPane();
// Tab from the file list: into the pane; false when it is hidden.
bool TabIntoPreviewPane();

// The list's selection moved (a short delay lets a moving selection settle).
void PreviewSelectionChanged();
// Whether the engine may be read now (see CommandStates::previewRead).
void PreviewReadAllowed(bool allowed);
// The list was emptied: any read under way is superseded.
void ClearPreview();

}  // namespace rv::shell
