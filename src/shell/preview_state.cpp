#include "shell/preview_state.h"

#include <algorithm>

namespace rv::shell {

PreviewPaneSettings LoadPreviewPane(SettingsStore& store) {
  PreviewPaneSettings out;
  auto key = store.Open(kPreviewPaneKey, false);
  if (!key) return out;
  uint32_t value = 0;
  if (key->ReadDword(u"Shown", value)) out.shown = value != 0;
  if (key->ReadDword(u"Height", value))
    out.height = static_cast<int>(std::clamp<uint32_t>(value, kPreviewMinHeight, kPreviewMaxHeight));
  return out;
}

bool SavePreviewPane(SettingsStore& store, const PreviewPaneSettings& settings) {
  auto key = store.Open(kPreviewPaneKey, true);
  if (!key) return false;
  const bool shown = key->WriteDword(u"Shown", settings.shown ? 1 : 0);
  const auto height = static_cast<uint32_t>(std::clamp(settings.height, kPreviewMinHeight, kPreviewMaxHeight));
  return key->WriteDword(u"Height", height) && shown;
}

int PreviewPaneHeight(int wanted, int available) {
  if (available < 2 * kPreviewMinHeight) return 0;
  return std::clamp(wanted, kPreviewMinHeight, available - kPreviewMinHeight);
}

}  // namespace rv::shell
