// The Win32 sides of the settings interfaces: the registry under
// HKEY_LOCAL_MACHINE, and a combo box as a recent-entries list.
#pragma once
#include <windows.h>

#include "shell/settings.h"

namespace rv::shell {

class RegistryStore final : public SettingsStore {
 public:
  explicit RegistryStore(HKEY root = HKEY_LOCAL_MACHINE) : root_(root) {}
  std::unique_ptr<SettingsKey> Open(TextView key, bool forWriting) override;

 private:
  HKEY root_;
};

class ComboList final : public RecentList {
 public:
  explicit ComboList(HWND combo) : combo_(combo) {}
  size_t Count() const override;
  bool Item(size_t index, Text& out) const override;
  std::optional<size_t> FindExact(TextView text, size_t from) const override;
  bool Delete(size_t index) override;
  bool InsertTop(TextView text) override;
  bool Append(TextView text) override;
  Text EditText() const override;
  void SetEditText(TextView text) override;

 private:
  HWND combo_;
};

}  // namespace rv::shell
