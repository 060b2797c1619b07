// The preview pane's remembered state and its share of the window, decided
// without a window: whether it is shown and how tall it is, kept between
// runs as two REG_DWORD values ("Shown", "Height" in pixels) under
// HKEY_LOCAL_MACHINE "SOFTWARE\Tarvelle\Retriva\Sizes\Preview".
#pragma once
#include "shell/settings.h"

namespace rv::shell {

constexpr char16_t kPreviewPaneKey[] = u"SOFTWARE\\Tarvelle\\Retriva\\Sizes\\Preview";
constexpr int kPreviewDefaultHeight = 160;
// Neither the pane nor the list above it is made smaller than this.
constexpr int kPreviewMinHeight = 60;
constexpr int kPreviewMaxHeight = 4000;

struct PreviewPaneSettings {
  bool shown = true;
  int height = kPreviewDefaultHeight;
  bool operator==(const PreviewPaneSettings&) const = default;
};

// Missing or unreadable values keep their defaults; a stored height out of
// the sane range (a hand-edited or foreign value) is brought into it.
PreviewPaneSettings LoadPreviewPane(SettingsStore& store);
bool SavePreviewPane(SettingsStore& store, const PreviewPaneSettings& settings);

// The pane's height in `available` pixels shared with the list above it:
// as wanted, but leaving the list its minimum; 0 (the pane not placed) when
// there is no room for both minimums.
int PreviewPaneHeight(int wanted, int available);

}  // namespace rv::shell
