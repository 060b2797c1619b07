#include "shell/logic.h"

#include <algorithm>

namespace rv::shell {
namespace {

constexpr TextView kPropertiesOnly = u"-PropertiesOnly";
constexpr TextView kEmptyBinOnly = u"-EmptyBinOnly";

char16_t Upper(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  // Latin-1 lower-case letters, except the division sign.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

void AppendNumber(Text& out, uint64_t value, bool negative) {
  char16_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (negative) out += u'-';
  while (n > 0) out += digits[--n];
}

}  // namespace

StartSwitches MatchStartSwitches(TextView commandLine) {
  StartSwitches s;
  size_t dash = commandLine.find(u'-');
  if (dash == TextView::npos) return s;
  TextView rest = commandLine.substr(dash);
  s.propertiesOnly = rest == kPropertiesOnly;
  s.emptyBinOnly = rest == kEmptyBinOnly;
  return s;
}

Text FormatLibraryText(TextView format, const std::vector<FormatArg>& args) {
  Text out;
  size_t next = 0;
  auto take = [&]() -> const FormatArg* { return next < args.size() ? &args[next++] : nullptr; };
  for (size_t i = 0; i < format.size(); ++i) {
    char16_t c = format[i];
    if (c != u'%' || i + 1 == format.size()) {
      out += c;
      continue;
    }
    TextView rest = format.substr(i + 1);
    if (rest[0] == u'%') {
      out += u'%';
      i += 1;
    } else if (rest[0] == u's' || rest[0] == u'c' || rest[0] == u'd' || rest.substr(0, 4) == u"I64u") {
      const FormatArg* a = take();
      if (a) {
        if (auto t = std::get_if<TextView>(a)) out += *t;
        else if (auto ch = std::get_if<char16_t>(a)) out += *ch;
        else if (auto s = std::get_if<int64_t>(a))
          AppendNumber(out, *s < 0 ? 0 - static_cast<uint64_t>(*s) : static_cast<uint64_t>(*s), *s < 0);
        else if (auto u = std::get_if<uint64_t>(a)) AppendNumber(out, *u, false);
      }
      i += rest[0] == u'I' ? 4 : 1;
    } else {
      out += c;
    }
  }
  return out;
}

Text FormatMainTitle(TextView format123, TextView productTitle, TextView computer) {
  return FormatLibraryText(format123, {productTitle, computer});
}

Text FormatSearchTitle(TextView format124, TextView searchTitle, char16_t driveLetter, TextView machine) {
  return FormatLibraryText(format124, {searchTitle, driveLetter, machine});
}

std::optional<Text> BuildHelpPath(TextView programPath, TextView topic) {
  constexpr TextView kProgramFile = u"QUORVEX.EXE";
  size_t nameStart = programPath.find_last_of(u"\\/");
  nameStart = nameStart == TextView::npos ? 0 : nameStart + 1;
  TextView name = programPath.substr(nameStart);
  if (name.size() != kProgramFile.size()) return std::nullopt;
  for (size_t i = 0; i < name.size(); ++i)
    if (Upper(name[i]) != kProgramFile[i]) return std::nullopt;

  Text path(programPath.substr(0, nameStart));
  path += kHelpFileName;
  // "other.chm::/Page.htm" and "::/Page.htm" both mean Page.htm of our file.
  size_t separator = topic.find(u"::");
  if (separator != TextView::npos) topic = topic.substr(separator + 2);
  if (!topic.empty()) {
    path += u"::";
    if (topic.front() != u'/') path += u'/';
    path += topic;
  }
  return path;
}

bool EqualsIgnoringCase(TextView a, TextView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

MachineRecord* ServiceSession::FindMachine(TextView name) {
  for (auto& m : machines_)
    if (EqualsIgnoringCase(m->name, name)) return m.get();
  return nullptr;
}

MachineRecord& ServiceSession::SelectMachine(TextView name) {
  MachineRecord* m = FindMachine(name);
  if (!m) {
    machines_.push_back(std::make_unique<MachineRecord>());
    m = machines_.back().get();
    m->name = Text(name);
  }
  current_ = m;
  return *m;
}

bool ServiceSession::Request(uint32_t code, const void*, uint32_t) {
  // Notifications would need the service to act on them: without one they
  // fail. Queries have nothing to deliver, which reads as an empty answer.
  return std::find(std::begin(kQueryRequests), std::end(kQueryRequests), code) != std::end(kQueryRequests);
}

}  // namespace rv::shell
