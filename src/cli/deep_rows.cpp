#include "cli/deep_rows.h"

#include <cstdio>

#include "cli/text_columns.h"

namespace rv::cli {

namespace {
void Write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }
}  // namespace

std::string JsonLine(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool PrintDeepRow(const SearchArgs& args, const DeepRow& row) {
  if (args.json) {
    nlohmann::ordered_json j;
    j["name"] = row.name;
    j["folder"] = row.folder;
    j["size"] = row.size;
    j["time"] = row.time;
    j["modified"] = row.modified.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(row.modified);
    j["locator"] = row.locator;
    j["index"] = nullptr;
    j["recoverable"] = row.recoverable;
    j["carved"] = row.carved;
    j["format"] = row.format;
    j["extension"] = row.extension;
    j["offset"] = row.offset;
    j["truncated"] = row.truncated;
    j["id"] = row.id;
    Write(JsonLine(j));
  } else if (args.csv) {
    Write(CsvField(row.name) + "," + CsvField(row.folder) + "," + std::to_string(row.size) + "," + row.csvModified +
          ",,,," + row.id + "," + row.csvRecoverable + "," + CsvField(row.format) + "," + std::to_string(row.offset) +
          "," + (row.truncated ? "true" : "false") + "\n");
  } else if (args.bodyfile) {
    std::string path = row.folder + row.name;
    for (char& c : path)
      if (c == '\\') c = '/';
      else if (c == '|') c = '?';
    Write("0|" + ForTerminal(path) + " (" + row.bodyNote + ")|" + row.id + "|r/rrwxrwxrwx|0|0|" +
          std::to_string(row.size) + "|0|" + std::to_string(row.bodyMtime) + "|0|0\n");
  } else {
    return false;
  }
  return true;
}

nlohmann::ordered_json RecoveredJson(uint64_t locator, uint32_t code, const std::string& source,
                                     const std::string& output, uint64_t size) {
  nlohmann::ordered_json j;
  j["locator"] = locator;
  j["index"] = nullptr;
  j["code"] = code;
  j["source"] = source;
  j["output"] = output.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(output);
  j["size"] = size;
  return j;
}

}  // namespace rv::cli
