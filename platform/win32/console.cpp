#include "platform/console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "platform/win32/handle.h"

namespace platform {

namespace {

// Where standard output goes, and whether that is a console, asked again
// only when the handle changes.
bool isConsole(HANDLE out) {
  static HANDLE known = INVALID_HANDLE_VALUE;
  static bool console = false;
  if (out != known) {
    DWORD mode = 0;
    known = out;
    console = GetConsoleMode(out, &mode) != 0;
  }
  return console;
}

}  // namespace

void writeOutput(const std::string& text) {
  const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  if (out != INVALID_HANDLE_VALUE && out != nullptr && isConsole(out)) {
    // UTF-16 the console shows as the user's characters, whatever its code
    // page; bytes it would read in the OEM one, where a u with diaeresis
    // reads as a superscript 3.
    const std::wstring wide = win32::toWide(text);
    std::fflush(stdout);
    std::size_t done = 0;
    while (done < wide.size()) {
      const std::size_t left = wide.size() - done;
      DWORD written = 0;
      if (WriteConsoleW(out, wide.data() + done,
                        static_cast<DWORD>(left < 8192 ? left : 8192), &written,
                        nullptr) == 0 ||
          written == 0) {
        break;
      }
      done += written;
    }
    // Once some of it is shown, the bytes would show that part twice.
    if (done > 0) return;
  }
  // Text mode: every line ends in "\r\n".
  const std::string bytes = win32::outputBytes(text, GetACP());
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void waitForKey(std::FILE* in) {
  const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)));
  DWORD mode;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
    std::fgetc(in);
    return;
  }
  // The console's own events: a key goes down without waiting for Enter. The
  // release of the Enter that started the tool is no key press, and Shift,
  // Ctrl or Alt alone (Alt+Tab to the editor) is not meant as one.
  INPUT_RECORD record;
  DWORD count;
  while (ReadConsoleInputW(console, &record, 1, &count) && count == 1) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
      continue;
    }
    switch (record.Event.KeyEvent.wVirtualKeyCode) {
      case VK_SHIFT:
      case VK_CONTROL:
      case VK_MENU:
      case VK_LWIN:
      case VK_RWIN:
      case VK_CAPITAL:
      case VK_NUMLOCK:
      case VK_SCROLL:
        continue;
      default:
        return;
    }
  }
}

}  // namespace platform
