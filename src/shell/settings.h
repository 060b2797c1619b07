// What the program remembers between runs: the recent entries of its
// drop-down boxes and the widths of its list columns, as registry values
// under HKEY_LOCAL_MACHINE "SOFTWARE\Tarvelle\Retriva". The operations work
// over two small interfaces, a list (a combo box in the program) and a key
// store (the registry in the program), so that tests can give them plain
// containers.
//
// Recent lists: a count value (REG_DWORD) and dense entry values (REG_SZ)
// named prefix + index from 0; only non-empty entries are written, and the
// count is the number written.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/types.h"

namespace rv::shell {

constexpr char16_t kSearchListsKey[] = u"SOFTWARE\\Tarvelle\\Retriva\\PgBin\\ListBoxData\\Search";
constexpr char16_t kRecoverListsKey[] = u"SOFTWARE\\Tarvelle\\Retriva\\PgBin\\ListBoxData\\Recover";
constexpr uint32_t kRecentListMax = 15;
// Under kRecoverListsKey: 1 when the destination dialog's report box was
// checked last.
constexpr char16_t kWriteReportValue[] = u"WriteReport";

struct RecentListName {
  const char16_t* key;
  const char16_t* countName;
  const char16_t* prefix;
};
constexpr RecentListName kSearchStrings{kSearchListsKey, u"NumSearchString", u"SearchString"};
constexpr RecentListName kSearchPaths{kSearchListsKey, u"NumSearchPath", u"SearchPath"};
constexpr RecentListName kOwners{kSearchListsKey, u"NumOwner", u"Owner"};
constexpr RecentListName kDeleters{kSearchListsKey, u"NumDeleter", u"Deleter"};
constexpr RecentListName kRecoverPaths{kRecoverListsKey, u"NumRecoverPath", u"RecoverPath"};

// A drop-down box's item list and edit line.
class RecentList {
 public:
  virtual ~RecentList() = default;
  virtual size_t Count() const = 0;
  // Empty when the item cannot be read.
  virtual bool Item(size_t index, Text& out) const = 0;
  // Index of the first item equal to `text` ignoring case, at or after `from`.
  virtual std::optional<size_t> FindExact(TextView text, size_t from) const = 0;
  virtual bool Delete(size_t index) = 0;
  virtual bool InsertTop(TextView text) = 0;
  virtual bool Append(TextView text) = 0;
  virtual Text EditText() const = 0;
  virtual void SetEditText(TextView text) = 0;
};

// One open registry key, closed when the object goes.
class SettingsKey {
 public:
  virtual ~SettingsKey() = default;
  virtual bool ReadDword(TextView name, uint32_t& value) = 0;
  // `maxBytes` bounds the read; the text comes back NUL-free.
  virtual bool ReadString(TextView name, uint32_t maxBytes, Text& value) = 0;
  virtual bool WriteDword(TextView name, uint32_t value) = 0;
  virtual bool WriteString(TextView name, TextView value) = 0;
};

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // Opens for reading, or creates (when missing) for writing; null on failure.
  virtual std::unique_ptr<SettingsKey> Open(TextView key, bool forWriting) = 0;
};

// Puts `text` at the top of the list and into the edit line, removing every
// item equal to it (ignoring case) and trimming the list to `max` items.
bool AddRecentEntry(RecentList& list, TextView text, size_t max);
// Reads the edit line; a non-empty text is added to the list. `length`
// counts the terminating NUL (0 for an empty text).
bool ReadComboText(RecentList& list, Text& text, size_t& length, size_t max);
bool SaveRecentList(const RecentList& list, SettingsStore& store, const RecentListName& name, size_t max);
// The recovery destination's form: the edit text first, then the items that
// differ from it (ignoring case).
bool SaveRecentListWithEdit(const RecentList& list, SettingsStore& store, const RecentListName& name, size_t max);
bool LoadRecentList(RecentList& list, SettingsStore& store, const RecentListName& name, size_t max);
// As LoadRecentList with the count's low 16 bits and no maximum.
bool LoadRecentListWithEdit(RecentList& list, SettingsStore& store, const RecentListName& name);

// ---- Column widths ---------------------------------------------------------------
// One key per list kind; its default value holds the widths as decimal
// numbers joined by "*", e.g. 100*50*100*100*50*50*0.
enum class ListKind : int { TwoPane = 0, UndeleteDialog = 1, SearchDialog = 2 };
constexpr size_t kListKinds = 3;
constexpr size_t kMaxColumns = 8;
constexpr uint32_t kWidthValueMaxBytes = 140;
const char16_t* ColumnWidthsKey(ListKind kind);

using ColumnWidths = std::array<int32_t, kMaxColumns>;
// Exactly `count` non-negative decimal numbers, else nothing.
std::optional<ColumnWidths> ParseColumnWidths(TextView text, size_t count);
Text FormatColumnWidths(const int32_t* widths, size_t count);

// Widths read once per list kind and kept for the run; widths the user set
// are remembered here and not written back.
class ColumnWidthCache {
 public:
  ColumnWidthCache();
  bool Get(SettingsStore& store, ListKind kind, size_t count, int32_t* widths);
  // The same, where a list stored before the last `count - olderCount`
  // columns were added still loads: those columns' widths read -1 (the
  // caller's defaults).
  bool Get(SettingsStore& store, ListKind kind, size_t count, size_t olderCount, int32_t* widths);
  void Remember(ListKind kind, const int32_t* widths, size_t count);

 private:
  bool Valid(ListKind kind, size_t count) const;
  std::array<ColumnWidths, kListKinds> rows_;
};

}  // namespace rv::shell
