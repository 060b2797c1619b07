#include "cli/terminal.h"

#include "cli/commands.h"
#include "cli/text_columns.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace rv::cli {

namespace {

#ifdef _WIN32
HANDLE ConsoleOf(std::FILE* stream) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}
#endif

}  // namespace

size_t TerminalWidth(std::FILE* stream) {
#ifdef _WIN32
  HANDLE h = ConsoleOf(stream);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!h || !GetConsoleScreenBufferInfo(h, &info)) return 0;
  return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
#else
  if (!isatty(fileno(stream))) return 0;
  struct winsize ws{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
#endif
}

ProgressLine& ProgressLine::Get() {
  static ProgressLine line;
  return line;
}

ProgressLine::ProgressLine() : enabled_(IsTerminal(stderr)) {}

void ProgressLine::Show(const std::string& utf8) {
  if (!enabled_ || quiet_) return;
  const size_t width = TerminalWidth(stderr);
  // One column is left free: a line that fills the last column makes some
  // terminals move to the next line.
  std::string text = ForTerminal(utf8);
  if (width > 1 && DisplayWidth(text) > width - 1) {
    // The start says what is being done; the end of a long name is dropped.
    std::string cut;
    size_t used = 0;
    for (size_t i = 0; i < text.size();) {
      size_t next = i + 1;
      while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
      const size_t w = DisplayWidth(text.substr(i, next - i));
      if (used + w > width - 2) break;
      cut += text.substr(i, next - i);
      used += w;
      i = next;
    }
    text = cut + "\u2026";
  }
  const size_t now = DisplayWidth(text);
  // Blanks over what the last line showed past this one: no terminal
  // command is needed, so no console shows one literally.
  std::string line = "\r" + text;
  if (shown_ > now) line += std::string(shown_ - now, ' ') + "\r" + text;
  WriteText(stderr, line);
  std::fflush(stderr);
  shown_ = now;
}

void ProgressLine::Clear() {
  if (shown_ == 0) return;
  WriteText(stderr, "\r" + std::string(shown_, ' ') + "\r");
  std::fflush(stderr);
  shown_ = 0;
}

void WriteText(std::FILE* stream, const std::string& utf8) {
#ifdef _WIN32
  if (HANDLE h = ConsoleOf(stream)) {
    std::fflush(stream);
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    DWORD written = 0;
    WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
#endif
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
}

}  // namespace rv::cli
