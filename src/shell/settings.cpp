#include "shell/settings.h"

#include <algorithm>

#include "shell/logic.h"

namespace rv::shell {
namespace {

Text EntryName(TextView prefix, size_t index) {
  return FormatLibraryText(u"%s%d", {prefix, static_cast<int64_t>(index)});
}

// The entries written so far are counted; the first failed write stops the
// walk, but the count of what was written is still stored.
class EntryWriter {
 public:
  EntryWriter(SettingsKey& key, const RecentListName& name) : key_(key), name_(name) {}
  void Write(TextView text) {
    if (failed_) return;
    if (key_.WriteString(EntryName(name_.prefix, written_), text)) ++written_;
    else failed_ = true;
  }
  bool Finish() { return key_.WriteDword(name_.countName, static_cast<uint32_t>(written_)) && !failed_; }

 private:
  SettingsKey& key_;
  const RecentListName& name_;
  size_t written_ = 0;
  bool failed_ = false;
};

bool LoadEntries(RecentList& list, SettingsKey& key, const RecentListName& name, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    Text entry;
    if (key.ReadString(EntryName(name.prefix, i), 2 * 260 + 2, entry) && !entry.empty()) list.Append(entry);
  }
  return true;
}

}  // namespace

bool AddRecentEntry(RecentList& list, TextView text, size_t max) {
  while (auto found = list.FindExact(text, 0)) {
    if (!list.Delete(*found)) break;
  }
  bool inserted = list.InsertTop(text);
  list.SetEditText(text);
  while (list.Count() > max) {
    if (!list.Delete(list.Count() - 1)) break;
  }
  return inserted;
}

bool ReadComboText(RecentList& list, Text& text, size_t& length, size_t max) {
  text = list.EditText();
  if (text.empty()) {
    length = 0;
    return true;
  }
  length = text.size() + 1;
  AddRecentEntry(list, text, max);
  return true;
}

bool SaveRecentList(const RecentList& list, SettingsStore& store, const RecentListName& name, size_t max) {
  auto key = store.Open(name.key, true);
  if (!key) return false;
  EntryWriter writer(*key, name);
  size_t n = std::min(list.Count(), max);
  for (size_t i = 0; i < n; ++i) {
    Text item;
    if (!list.Item(i, item)) break;  // an item that cannot be read ends the walk
    if (!item.empty()) writer.Write(item);
  }
  return writer.Finish();
}

bool SaveRecentListWithEdit(const RecentList& list, SettingsStore& store, const RecentListName& name, size_t max) {
  auto key = store.Open(name.key, true);
  if (!key) return false;
  EntryWriter writer(*key, name);
  Text edit = list.EditText();
  if (!edit.empty()) writer.Write(edit);
  size_t n = std::min(list.Count(), max);
  for (size_t i = 0; i < n; ++i) {
    Text item;
    if (!list.Item(i, item)) break;
    if (!item.empty() && !EqualsIgnoringCase(item, edit)) writer.Write(item);
  }
  return writer.Finish();
}

bool LoadRecentList(RecentList& list, SettingsStore& store, const RecentListName& name, size_t max) {
  auto key = store.Open(name.key, false);
  uint32_t count = 0;
  if (!key || !key->ReadDword(name.countName, count)) return false;
  return LoadEntries(list, *key, name, std::min<size_t>(count, max));
}

bool LoadRecentListWithEdit(RecentList& list, SettingsStore& store, const RecentListName& name) {
  auto key = store.Open(name.key, false);
  uint32_t count = 0;
  if (!key || !key->ReadDword(name.countName, count)) return false;
  return LoadEntries(list, *key, name, count & 0xFFFF);
}

// ---- Column widths ---------------------------------------------------------------

const char16_t* ColumnWidthsKey(ListKind kind) {
  switch (kind) {
    case ListKind::TwoPane: return u"SOFTWARE\\Tarvelle\\Retriva\\Sizes\\Columns\\TwoPane";
    case ListKind::UndeleteDialog: return u"SOFTWARE\\Tarvelle\\Retriva\\Sizes\\Columns\\UndeleteDlg";
    case ListKind::SearchDialog: return u"SOFTWARE\\Tarvelle\\Retriva\\Sizes\\Columns\\SearchDlg";
  }
  return u"";
}

std::optional<ColumnWidths> ParseColumnWidths(TextView text, size_t count) {
  if (count == 0 || count > kMaxColumns) return std::nullopt;
  ColumnWidths widths;
  widths.fill(-1);
  size_t tokens = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(u'*', pos);
    if (end == TextView::npos) end = text.size();
    TextView token = text.substr(pos, end - pos);
    if (tokens == count) return std::nullopt;  // more numbers than columns
    // A token that is not a plain decimal number reads as missing.
    int64_t value = token.empty() || token.size() > 9 ? -1 : 0;
    for (char16_t c : token) {
      if (c < u'0' || c > u'9') {
        value = -1;
        break;
      }
      value = value * 10 + (c - u'0');
    }
    if (value < 0) return std::nullopt;
    widths[tokens++] = static_cast<int32_t>(value);
    pos = end + 1;
  }
  if (tokens != count) return std::nullopt;
  return widths;
}

Text FormatColumnWidths(const int32_t* widths, size_t count) {
  Text out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out += u'*';
    out += FormatLibraryText(u"%d", {static_cast<int64_t>(widths[i])});
  }
  return out;
}

ColumnWidthCache::ColumnWidthCache() {
  for (auto& row : rows_) row.fill(-1);
}

bool ColumnWidthCache::Valid(ListKind kind, size_t count) const {
  const ColumnWidths& row = rows_[static_cast<size_t>(kind)];
  bool anyPositive = false;
  for (size_t i = 0; i < count; ++i) {
    if (row[i] < 0) return false;
    anyPositive |= row[i] > 0;
  }
  return anyPositive;
}

bool ColumnWidthCache::Get(SettingsStore& store, ListKind kind, size_t count, int32_t* widths) {
  size_t k = static_cast<size_t>(kind);
  if (k >= kListKinds || count == 0 || count > kMaxColumns) return false;
  if (!Valid(kind, count)) {
    auto key = store.Open(ColumnWidthsKey(kind), false);
    Text value;
    if (!key || !key->ReadString(u"", kWidthValueMaxBytes, value)) return false;
    auto parsed = ParseColumnWidths(value, count);
    if (!parsed) return false;
    rows_[k] = *parsed;
  }
  std::copy_n(rows_[k].begin(), count, widths);
  return true;
}

bool ColumnWidthCache::Get(SettingsStore& store, ListKind kind, size_t count, size_t olderCount, int32_t* widths) {
  if (Get(store, kind, count, widths)) return true;
  if (olderCount == 0 || olderCount >= count || !Get(store, kind, olderCount, widths)) return false;
  std::fill(widths + olderCount, widths + count, -1);
  return true;
}

void ColumnWidthCache::Remember(ListKind kind, const int32_t* widths, size_t count) {
  size_t k = static_cast<size_t>(kind);
  if (k >= kListKinds) return;
  count = std::min(count, kMaxColumns);
  std::copy_n(widths, count, rows_[k].begin());
}

}  // namespace rv::shell
