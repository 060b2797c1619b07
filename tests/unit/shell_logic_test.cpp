// The window program's decisions that need no window: start switches,
// titles, the help path, the service session, recent lists and column
// widths over plain containers (and, on Windows, over the real registry).
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "shell/logic.h"
#include "shell/preview_state.h"
#include "shell/settings.h"
#ifdef _WIN32
#include "shell/registry.h"
#endif

namespace rv::shell {
namespace {

TEST(ShellSwitches, RestOfLineFromFirstDashMustMatchExactly) {
  EXPECT_TRUE(MatchStartSwitches(u"\"C:\\Tools\\quorvex.exe\" -PropertiesOnly").propertiesOnly);
  EXPECT_TRUE(MatchStartSwitches(u"quorvex.exe -EmptyBinOnly").emptyBinOnly);
  EXPECT_FALSE(MatchStartSwitches(u"quorvex.exe -EmptyBinOnly").propertiesOnly);
  // Anything after the switch, another case, or a dash earlier on the line.
  EXPECT_FALSE(MatchStartSwitches(u"quorvex.exe -PropertiesOnly extra").Any());
  EXPECT_FALSE(MatchStartSwitches(u"quorvex.exe -PropertiesOnly ").Any());
  EXPECT_FALSE(MatchStartSwitches(u"quorvex.exe -propertiesonly").Any());
  EXPECT_FALSE(MatchStartSwitches(u"\"C:\\my-tools\\quorvex.exe\" -EmptyBinOnly").Any());
  EXPECT_FALSE(MatchStartSwitches(u"quorvex.exe").Any());
  EXPECT_FALSE(MatchStartSwitches(u"").Any());
}

TEST(ShellTexts, FormatsTheLibrarysDirectives) {
  EXPECT_EQ(FormatMainTitle(u"%s - %s", u"Quorvex Deleted File Recovery", u"DESK1"),
            u"Quorvex Deleted File Recovery - DESK1");
  EXPECT_EQ(FormatSearchTitle(u"%s - drive %c: on %s", u"Search", u'D', u"DESK1"), u"Search - drive D: on DESK1");
  EXPECT_EQ(FormatLibraryText(u"%d files, %I64u bytes, 100%%", {int64_t{-3}, uint64_t{18446744073709551615u}}),
            u"-3 files, 18446744073709551615 bytes, 100%");
  // Missing arguments leave their place empty; unknown directives stay.
  EXPECT_EQ(FormatLibraryText(u"%s and %s %q %", {TextView(u"one")}), u"one and  %q %");
  EXPECT_EQ(FormatMainTitle(u"", u"a", u"b"), u"");
}

TEST(ShellHelp, OpensThePageInTheHelpFileBesideTheProgram) {
  EXPECT_EQ(BuildHelpPath(u"C:\\Tools\\Quorvex.EXE", kStartTopic),
            Text(u"C:\\Tools\\quorvex.chm::/Quorvex_standalone.htm"));
  EXPECT_EQ(BuildHelpPath(u"C:\\Tools\\quorvex.exe", u""), Text(u"C:\\Tools\\quorvex.chm"));
  // Pages named with another file are looked up in ours.
  EXPECT_EQ(BuildHelpPath(u"D:\\quorvex.exe", u"retriva.chm::/Use_Alternate_Location.htm"),
            Text(u"D:\\quorvex.chm::/Use_Alternate_Location.htm"));
  EXPECT_EQ(BuildHelpPath(u"quorvex.exe", u"Page.htm"), Text(u"quorvex.chm::/Page.htm"));
  // A renamed program has no help; a folder named like the program is not it.
  EXPECT_FALSE(BuildHelpPath(u"C:\\Tools\\recover.exe", kStartTopic));
  EXPECT_FALSE(BuildHelpPath(u"C:\\quorvex.exe\\other.exe", kStartTopic));
  EXPECT_FALSE(BuildHelpPath(u"C:\\Tools\\quorvex.exe.bak", kStartTopic));
}

TEST(ShellSession, MachinesByNameIgnoringCaseAndInertRequests) {
  ServiceSession s;
  EXPECT_EQ(s.Current(), nullptr);
  MachineRecord& a = s.SelectMachine(u"Desk1");
  EXPECT_EQ(&s.SelectMachine(u"DESK1"), &a);
  EXPECT_EQ(s.MachineCount(), 1u);
  s.SelectMachine(u"other");
  EXPECT_EQ(s.MachineCount(), 2u);
  EXPECT_EQ(s.FindMachine(u"desk1"), &a);
  EXPECT_EQ(s.FindMachine(u"nobody"), nullptr);
  for (uint32_t code : ServiceSession::kNotificationRequests) EXPECT_FALSE(s.Request(code, nullptr, 0)) << code;
  for (uint32_t code : ServiceSession::kQueryRequests) EXPECT_TRUE(s.Request(code, nullptr, 0)) << code;
}

// ---- Recent lists over plain containers -------------------------------------------

class VectorList final : public RecentList {
 public:
  std::vector<Text> items;
  Text edit;
  size_t insertLimit = 1000;  // InsertTop fails from this many items on
  size_t Count() const override { return items.size(); }
  bool Item(size_t i, Text& out) const override {
    if (i >= items.size()) return false;
    out = items[i];
    return true;
  }
  std::optional<size_t> FindExact(TextView text, size_t from) const override {
    for (size_t i = from; i < items.size(); ++i)
      if (EqualsIgnoringCase(items[i], text)) return i;
    return std::nullopt;
  }
  bool Delete(size_t i) override {
    if (i >= items.size()) return false;
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  bool InsertTop(TextView t) override {
    if (items.size() >= insertLimit) return false;
    items.insert(items.begin(), Text(t));
    return true;
  }
  bool Append(TextView t) override {
    items.emplace_back(t);
    return true;
  }
  Text EditText() const override { return edit; }
  void SetEditText(TextView t) override { edit = Text(t); }
};

struct Value {
  bool isDword = false;
  uint32_t dword = 0;
  Text text;
};
using Values = std::map<Text, std::map<Text, Value>>;

class MemoryStore final : public SettingsStore {
 public:
  Values values;
  int failWritesAfter = -1;  // writes that succeed before every later one fails
  int opened = 0, open = 0;

  class Key final : public SettingsKey {
   public:
    Key(MemoryStore& s, std::map<Text, Value>& v) : store_(s), values_(v) { ++store_.open; }
    ~Key() override { --store_.open; }
    bool ReadDword(TextView name, uint32_t& value) override {
      auto it = values_.find(Text(name));
      if (it == values_.end() || !it->second.isDword) return false;
      value = it->second.dword;
      return true;
    }
    bool ReadString(TextView name, uint32_t maxBytes, Text& value) override {
      auto it = values_.find(Text(name));
      if (it == values_.end() || it->second.isDword) return false;
      // As the registry: a value longer than the buffer is not read.
      if (it->second.text.size() * 2 + 2 > maxBytes) return false;
      value = it->second.text;
      return true;
    }
    bool WriteDword(TextView name, uint32_t value) override {
      if (!store_.Allow()) return false;
      values_[Text(name)] = Value{true, value, {}};
      return true;
    }
    bool WriteString(TextView name, TextView value) override {
      if (!store_.Allow()) return false;
      values_[Text(name)] = Value{false, 0, Text(value)};
      return true;
    }

   private:
    MemoryStore& store_;
    std::map<Text, Value>& values_;
  };

  bool Allow() {
    if (failWritesAfter < 0) return true;
    if (failWritesAfter == 0) return false;
    --failWritesAfter;
    return true;
  }
  std::unique_ptr<SettingsKey> Open(TextView key, bool forWriting) override {
    auto it = values.find(Text(key));
    if (it == values.end()) {
      if (!forWriting) return nullptr;
      it = values.emplace(Text(key), std::map<Text, Value>{}).first;
    }
    ++opened;
    return std::make_unique<Key>(*this, it->second);
  }
  const Value* Get(TextView key, TextView name) const {
    auto k = values.find(Text(key));
    if (k == values.end()) return nullptr;
    auto v = k->second.find(Text(name));
    return v == k->second.end() ? nullptr : &v->second;
  }
};

TEST(ShellRecentLists, AddPutsTheEntryOnTopOnceAndTrims) {
  VectorList list;
  list.items = {u"ABC", u"x"};
  EXPECT_TRUE(AddRecentEntry(list, u"abc", 15));
  EXPECT_EQ(list.items, (std::vector<Text>{u"abc", u"x"}));
  EXPECT_EQ(list.edit, u"abc");

  list.items = {u"a", u"b", u"A", u"c"};
  AddRecentEntry(list, u"a", 2);
  EXPECT_EQ(list.items, (std::vector<Text>{u"a", u"b"}));

  list.insertLimit = 1;
  EXPECT_FALSE(AddRecentEntry(list, u"new", 15));
}

TEST(ShellRecentLists, ReadComboTextCountsTheNulAndRemembersTheText) {
  VectorList list;
  Text text = u"x";
  size_t length = 99;
  EXPECT_TRUE(ReadComboText(list, text, length, 15));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(text.empty());
  list.edit = u"*.doc";
  EXPECT_TRUE(ReadComboText(list, text, length, 15));
  EXPECT_EQ(text, u"*.doc");
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(list.items, (std::vector<Text>{u"*.doc"}));
}

TEST(ShellRecentLists, SaveWritesDenseNonEmptyEntriesAndTheirCount) {
  MemoryStore store;
  VectorList list;
  list.items = {u"first", u"", u"third"};
  EXPECT_TRUE(SaveRecentList(list, store, kSearchStrings, 15));
  EXPECT_EQ(store.Get(kSearchListsKey, u"SearchString0")->text, u"first");
  EXPECT_EQ(store.Get(kSearchListsKey, u"SearchString1")->text, u"third");
  EXPECT_EQ(store.Get(kSearchListsKey, u"SearchString2"), nullptr);
  EXPECT_EQ(store.Get(kSearchListsKey, u"NumSearchString")->dword, 2u);
  EXPECT_EQ(store.open, 0);  // one key per operation, closed at its end

  // Only `max` items are looked at.
  list.items = {u"a", u"b", u"c"};
  SaveRecentList(list, store, kOwners, 2);
  EXPECT_EQ(store.Get(kSearchListsKey, u"NumOwner")->dword, 2u);
}

TEST(ShellRecentLists, AFailedWriteStopsTheEntriesButTheCountIsWritten) {
  MemoryStore store;
  VectorList list;
  list.items = {u"a", u"b", u"c"};
  store.failWritesAfter = 1;  // entry 0 succeeds, entry 1 fails
  EXPECT_FALSE(SaveRecentList(list, store, kDeleters, 15));
  EXPECT_EQ(store.Get(kSearchListsKey, u"Deleter0")->text, u"a");
  EXPECT_EQ(store.Get(kSearchListsKey, u"Deleter2"), nullptr);
  // The count write also failed here: the store refuses everything now.
  store.failWritesAfter = -1;
  store.values.clear();
  list.items = {u"a", u"b", u"c"};
  store.failWritesAfter = 2;  // entries 0, 1; entry 2 fails; count refused too
  SaveRecentList(list, store, kDeleters, 15);
  EXPECT_EQ(store.Get(kSearchListsKey, u"Deleter1")->text, u"b");
  EXPECT_EQ(store.Get(kSearchListsKey, u"Deleter2"), nullptr);
}

TEST(ShellRecentLists, LoadReadsAtMostMaxEntriesAndSkipsEmptyOnes) {
  MemoryStore store;
  auto& key = store.values[kSearchListsKey];
  key[u"NumSearchPath"] = Value{true, 20, {}};
  for (int i = 0; i < 20; ++i) key[FormatLibraryText(u"SearchPath%d", {int64_t{i}})] = Value{false, 0, u"p"};
  key[u"SearchPath3"].text = u"";
  VectorList list;
  EXPECT_TRUE(LoadRecentList(list, store, kSearchPaths, 15));
  EXPECT_EQ(list.items.size(), 14u);  // entries 0 to 14, one of them empty

  VectorList none;
  EXPECT_FALSE(LoadRecentList(none, store, kOwners, 15));  // no count value
  EXPECT_FALSE(LoadRecentList(none, store, kRecoverPaths, 15));  // no key
}

TEST(ShellRecentLists, DestinationListPutsTheEditTextFirst) {
  MemoryStore store;
  VectorList list;
  list.items = {u"E:\\rescued\\", u"f:\\old\\", u""};
  list.edit = u"F:\\OLD\\";
  EXPECT_TRUE(SaveRecentListWithEdit(list, store, kRecoverPaths, 15));
  EXPECT_EQ(store.Get(kRecoverListsKey, u"RecoverPath0")->text, u"F:\\OLD\\");
  EXPECT_EQ(store.Get(kRecoverListsKey, u"RecoverPath1")->text, u"E:\\rescued\\");
  EXPECT_EQ(store.Get(kRecoverListsKey, u"NumRecoverPath")->dword, 2u);

  // The load uses the count's low 16 bits and no maximum.
  store.values[kRecoverListsKey][u"NumRecoverPath"].dword = 0x10002;
  VectorList loaded;
  EXPECT_TRUE(LoadRecentListWithEdit(loaded, store, kRecoverPaths));
  EXPECT_EQ(loaded.items, (std::vector<Text>{u"F:\\OLD\\", u"E:\\rescued\\"}));
}

// ---- Column widths -------------------------------------------------------------------

TEST(ShellColumnWidths, ExactlyCountNonNegativeNumbers) {
  auto w = ParseColumnWidths(u"100*50*100*100*50*50*0", 7);
  ASSERT_TRUE(w);
  EXPECT_EQ((*w)[0], 100);
  EXPECT_EQ((*w)[6], 0);
  EXPECT_FALSE(ParseColumnWidths(u"100*50", 7));
  EXPECT_FALSE(ParseColumnWidths(u"100*-1*100*100*50*50*0", 7));
  EXPECT_FALSE(ParseColumnWidths(u"1*2*3*4*5*6*7*8", 7));
  EXPECT_FALSE(ParseColumnWidths(u"1*2*3*4*5*6*", 7));
  EXPECT_FALSE(ParseColumnWidths(u"1*2*x*4*5*6*7", 7));
  EXPECT_FALSE(ParseColumnWidths(u"", 7));
  EXPECT_FALSE(ParseColumnWidths(u"99999999999*1", 2));
  EXPECT_FALSE(ParseColumnWidths(u"1*2", 9));
  int32_t widths[] = {100, 50, 0};
  EXPECT_EQ(FormatColumnWidths(widths, 3), u"100*50*0");
}

TEST(ShellColumnWidths, CacheReadsOnceAndKeepsRememberedWidths) {
  MemoryStore store;
  ColumnWidthCache cache;
  int32_t w[7] = {};
  EXPECT_FALSE(cache.Get(store, ListKind::TwoPane, 7, w));  // nothing stored
  store.values[ColumnWidthsKey(ListKind::TwoPane)][u""] = Value{false, 0, u"120*60*110*90*40*30*0"};
  ASSERT_TRUE(cache.Get(store, ListKind::TwoPane, 7, w));
  EXPECT_EQ(w[0], 120);
  int opened = store.opened;
  store.values[ColumnWidthsKey(ListKind::TwoPane)][u""].text = u"1*1*1*1*1*1*1";
  ASSERT_TRUE(cache.Get(store, ListKind::TwoPane, 7, w));
  EXPECT_EQ(w[0], 120);  // the cached row, no second read
  EXPECT_EQ(store.opened, opened);

  int32_t mine[7] = {200, 70, 100, 100, 50, 50, 0};
  cache.Remember(ListKind::TwoPane, mine, 7);
  ASSERT_TRUE(cache.Get(store, ListKind::TwoPane, 7, w));
  EXPECT_EQ(w[0], 200);
  EXPECT_EQ(store.values[ColumnWidthsKey(ListKind::TwoPane)][u""].text, u"1*1*1*1*1*1*1");  // not written back

  // A remembered row of zeros is not valid: the store is read again.
  int32_t zeros[7] = {};
  cache.Remember(ListKind::TwoPane, zeros, 7);
  ASSERT_TRUE(cache.Get(store, ListKind::TwoPane, 7, w));
  EXPECT_EQ(w[0], 1);
  EXPECT_FALSE(cache.Get(store, ListKind::SearchDialog, 9, w));
}

TEST(ShellColumnWidths, AListStoredBeforeAColumnWasAddedStillLoads) {
  MemoryStore store;
  int32_t w[8] = {};
  {
    ColumnWidthCache cache;
    store.values[ColumnWidthsKey(ListKind::TwoPane)][u""] = Value{false, 0, u"120*60*110*90*40*30*0"};
    ASSERT_TRUE(cache.Get(store, ListKind::TwoPane, 8, 7, w));
    EXPECT_EQ(w[0], 120);
    EXPECT_EQ(w[6], 0);
    EXPECT_EQ(w[7], -1);  // the new column: the caller's default
  }
  {
    ColumnWidthCache cache;
    store.values[ColumnWidthsKey(ListKind::TwoPane)][u""].text = u"120*60*110*90*40*30*0*75";
    ASSERT_TRUE(cache.Get(store, ListKind::TwoPane, 8, 7, w));
    EXPECT_EQ(w[7], 75);
  }
  {
    ColumnWidthCache cache;
    store.values[ColumnWidthsKey(ListKind::TwoPane)][u""].text = u"1*2*3*4*5*6*7*8*9";
    EXPECT_FALSE(cache.Get(store, ListKind::TwoPane, 8, 7, w));
    store.values[ColumnWidthsKey(ListKind::TwoPane)][u""].text = u"1*2*3*4*5*6";
    EXPECT_FALSE(cache.Get(store, ListKind::TwoPane, 8, 7, w));
  }
}

#ifdef _WIN32
// The registry layer against the real registry of the Wine prefix.
TEST(ShellRegistry, RoundTripsValuesUnderHklm) {
  constexpr char16_t kKey[] = u"SOFTWARE\\Tarvelle\\RetrivaUnitTest";
  RegistryStore store;
  {
    auto key = store.Open(kKey, true);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->WriteDword(u"Count", 20));
    EXPECT_TRUE(key->WriteString(u"Text", u"C:\\rescued"));
    EXPECT_TRUE(key->WriteString(u"", u"100*50"));
  }
  auto key = store.Open(kKey, false);
  ASSERT_TRUE(key);
  uint32_t d = 0;
  Text t;
  EXPECT_TRUE(key->ReadDword(u"Count", d));
  EXPECT_EQ(d, 20u);
  EXPECT_TRUE(key->ReadString(u"Text", 520, t));
  EXPECT_EQ(t, u"C:\\rescued");
  EXPECT_FALSE(key->ReadString(u"Text", 8, t));  // longer than the bound: not read
  EXPECT_TRUE(key->ReadString(u"", 140, t));
  EXPECT_EQ(t, u"100*50");
  EXPECT_FALSE(key->ReadDword(u"Text", d));
  EXPECT_FALSE(key->ReadString(u"Missing", 140, t));
  key.reset();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarvelle\\RetrivaUnitTest");
  EXPECT_FALSE(store.Open(kKey, false));
}
#endif

// The pane's state round-trips; what a store lacks or holds out of range
// comes back as the defaults or brought into range, and the list above the
// pane keeps its minimum as the window shrinks.
TEST(ShellPreviewPane, SettingsAndHeight) {
  MemoryStore store;
  EXPECT_EQ(LoadPreviewPane(store), PreviewPaneSettings{});
  ASSERT_TRUE(SavePreviewPane(store, {false, 321}));
  EXPECT_EQ(LoadPreviewPane(store), (PreviewPaneSettings{false, 321}));
  store.values[kPreviewPaneKey][u"Height"] = Value{true, 0xFFFFFFFF, {}};
  store.values[kPreviewPaneKey][u"Shown"] = Value{false, 0, u"1"};  // not a DWORD: the default
  EXPECT_EQ(LoadPreviewPane(store), (PreviewPaneSettings{true, kPreviewMaxHeight}));
  store.failWritesAfter = 0;
  EXPECT_FALSE(SavePreviewPane(store, {}));

  EXPECT_EQ(PreviewPaneHeight(200, 600), 200);
  EXPECT_EQ(PreviewPaneHeight(590, 600), 600 - kPreviewMinHeight);
  EXPECT_EQ(PreviewPaneHeight(10, 600), kPreviewMinHeight);
  EXPECT_EQ(PreviewPaneHeight(200, 2 * kPreviewMinHeight - 1), 0);
}

}  // namespace
}  // namespace rv::shell
