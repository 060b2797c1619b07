// What the command shows on a terminal: the progress line on stderr, kept
// apart from the rows on stdout, and the width rows are fitted to.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

namespace rv::cli {

// Columns of the terminal `stream` writes to; 0 when it is not a terminal
// (output to a pipe or a file is never shortened).
size_t TerminalWidth(std::FILE* stream);

// One progress line on stderr, drawn only when stderr is a terminal and the
// user did not ask for quiet. It is cut to the terminal's width (a wrapped
// line could not be taken back) and cleared before anything else is
// printed, so it never glues itself to a row or stays behind.
class ProgressLine {
 public:
  static ProgressLine& Get();
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  void Show(const std::string& utf8);
  // Takes the line back; call before printing a row or a message.
  void Clear();

 private:
  ProgressLine();
  bool enabled_ = false;
  bool quiet_ = false;
  size_t shown_ = 0;  // columns on the screen now
};

// Writes UTF-8 text to stdout or stderr. On a Windows console it goes
// through the console's wide-character interface, so names in any script
// show right whatever the console's code page; elsewhere it is written as
// it is.
void WriteText(std::FILE* stream, const std::string& utf8);

}  // namespace rv::cli
