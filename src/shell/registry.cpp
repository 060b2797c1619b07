#include "shell/registry.h"

#include <algorithm>
#include <vector>

namespace rv::shell {
namespace {

std::wstring Wide(TextView t) { return std::wstring(t.begin(), t.end()); }

class RegistryKey final : public SettingsKey {
 public:
  explicit RegistryKey(HKEY key) : key_(key) {}
  ~RegistryKey() override { RegCloseKey(key_); }

  bool ReadDword(TextView name, uint32_t& value) override {
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExW(key_, Wide(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
      return false;
    value = data;
    return true;
  }

  bool ReadString(TextView name, uint32_t maxBytes, Text& value) override {
    // A stored string need not end in NUL: the last unit read is always
    // made one, so the text never runs past what was read.
    std::vector<wchar_t> buffer(maxBytes / 2 + 1, 0);
    DWORD type = 0, size = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    std::wstring wname = Wide(name);
    if (RegQueryValueExW(key_, wname.empty() ? nullptr : wname.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
      return false;
    size_t units = std::min<size_t>(size / sizeof(wchar_t), buffer.size() - 1);
    buffer[units] = 0;
    size_t n = 0;
    while (n < units && buffer[n] != 0) ++n;
    value.assign(buffer.data(), buffer.data() + n);
    return true;
  }

  bool WriteDword(TextView name, uint32_t value) override {
    DWORD data = value;
    return RegSetValueExW(key_, Wide(name).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data) == ERROR_SUCCESS;
  }

  bool WriteString(TextView name, TextView value) override {
    // The terminating NUL is stored with the text.
    std::wstring data = Wide(value);
    std::wstring wname = Wide(name);
    return RegSetValueExW(key_, wname.empty() ? nullptr : wname.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }

 private:
  HKEY key_;
};

}  // namespace

std::unique_ptr<SettingsKey> RegistryStore::Open(TextView key, bool forWriting) {
  HKEY handle = nullptr;
  std::wstring path = Wide(key);
  LONG rc = forWriting ? RegCreateKeyExW(root_, path.c_str(), 0, const_cast<wchar_t*>(L""), REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &handle, nullptr)
                       : RegOpenKeyExW(root_, path.c_str(), 0, KEY_QUERY_VALUE, &handle);
  if (rc != ERROR_SUCCESS) return nullptr;
  return std::make_unique<RegistryKey>(handle);
}

size_t ComboList::Count() const {
  LRESULT n = SendMessageW(combo_, CB_GETCOUNT, 0, 0);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

bool ComboList::Item(size_t index, Text& out) const {
  LRESULT len = SendMessageW(combo_, CB_GETLBTEXTLEN, index, 0);
  if (len < 0) return false;
  std::vector<wchar_t> buffer(static_cast<size_t>(len) + 1, 0);
  if (SendMessageW(combo_, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(buffer.data())) < 0) return false;
  out.assign(buffer.data(), buffer.data() + len);
  return true;
}

std::optional<size_t> ComboList::FindExact(TextView text, size_t from) const {
  // CB_FINDSTRINGEXACT starts after the given index and wraps round; -1
  // searches from the top.
  std::wstring w = Wide(text);
  LRESULT start = from == 0 ? -1 : static_cast<LRESULT>(from) - 1;
  LRESULT i = SendMessageW(combo_, CB_FINDSTRINGEXACT, start, reinterpret_cast<LPARAM>(w.c_str()));
  if (i == CB_ERR || static_cast<size_t>(i) < from) return std::nullopt;
  return static_cast<size_t>(i);
}

bool ComboList::Delete(size_t index) { return SendMessageW(combo_, CB_DELETESTRING, index, 0) != CB_ERR; }

bool ComboList::InsertTop(TextView text) {
  std::wstring w = Wide(text);
  LRESULT i = SendMessageW(combo_, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(w.c_str()));
  return i != CB_ERR && i != CB_ERRSPACE;
}

bool ComboList::Append(TextView text) {
  std::wstring w = Wide(text);
  LRESULT i = SendMessageW(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(w.c_str()));
  return i != CB_ERR && i != CB_ERRSPACE;
}

Text ComboList::EditText() const {
  int len = GetWindowTextLengthW(combo_);
  std::vector<wchar_t> buffer(static_cast<size_t>(len) + 1, 0);
  int got = GetWindowTextW(combo_, buffer.data(), len + 1);
  return Text(buffer.data(), buffer.data() + got);
}

void ComboList::SetEditText(TextView text) { SetWindowTextW(combo_, Wide(text).c_str()); }

}  // namespace rv::shell
