// windows.h comes with platform/win32/handle.h.
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/text.h"
#include "platform/win32/handle.h"
#include "platform/win32_path.h"

namespace platform {

namespace win32 {

namespace {

// MAX_PATH less room for an 8.3 name: the most CreateDirectory takes without
// the \\?\ form, and the limit Go's os and Rust's std keep to as well.
constexpr std::size_t kLegacyPathLimit = 248;

// The bytes the stem rule replaces: ".hlsl".
constexpr std::size_t kSuffixBytes = 5;

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// \\?\ (or the NT spelling \??\): the system passes the rest on as it is.
bool isVerbatim(const std::wstring& path) {
  return path.size() >= 4 && path[0] == L'\\' &&
         (path[1] == L'\\' || path[1] == L'?') && path[2] == L'?' &&
         path[3] == L'\\';
}

// Absolute without the current directory or drive: C:\... or \\server\...
bool isAbsolute(const std::wstring& path) {
  if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
    return true;
  }
  return path.size() >= 3 && path[1] == L':' && isSeparator(path[2]);
}

// What the system itself makes of a path before it opens it: absolute,
// separators made backslashes, "." and ".." resolved. Empty when it cannot
// tell.
std::wstring fullPath(const std::wstring& path) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  while (size > 0) {
    std::wstring full(size, L'\0');
    const DWORD length =
        GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length < size) {
      full.resize(length);
      return full;
    }
    size = length;  // the current directory changed in between
  }
  return std::wstring();
}

bool convertName(const wchar_t* name, unsigned codePage, std::string* text) {
  const NameConversion how = nameConversion(codePage);
  const int size = WideCharToMultiByte(codePage, how.flags, name, -1, nullptr,
                                       0, how.defaultChar, nullptr);
  if (size <= 0) return false;
  text->assign(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(codePage, how.flags, name, -1, &(*text)[0], size,
                          how.defaultChar, nullptr) != size) {
    return false;
  }
  text->resize(static_cast<std::size_t>(size - 1));
  return true;
}

bool isHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// How many units the character at `wide[at]` takes: two for a whole
// surrogate pair, one otherwise.
std::size_t unitsAt(const std::wstring& wide, std::size_t at) {
  return isHighSurrogate(wide[at]) && at + 1 < wide.size() &&
                 isLowSurrogate(wide[at + 1])
             ? 2
             : 1;
}

// Bytes read in `codePage` as UTF-16, as the A calls read them.
std::wstring widen(const std::string& bytes, unsigned codePage) {
  if (bytes.empty()) return std::wstring();
  const int length = static_cast<int>(bytes.size());
  const int size =
      MultiByteToWideChar(codePage, 0, bytes.data(), length, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), length, &wide[0], size);
  return wide;
}

// A lone byte has no character in UTF-8: there it is read as Windows-1252,
// the Western code page, which gives each byte a character of its own.
unsigned byteCodePage(unsigned codePage) {
  return codePage == CP_UTF8 ? 1252 : codePage;
}

// The rule bytes of one character (`count` units at `unit`) in a
// single- or double-byte `codePage`.
std::string characterBytes(const wchar_t* unit, std::size_t count,
                           unsigned codePage) {
  char bytes[8];
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, unit,
                                       static_cast<int>(count), bytes,
                                       sizeof bytes, nullptr, &usedDefault);
  if (size > 0 && !usedDefault &&
      widen(std::string(bytes, static_cast<std::size_t>(size)), codePage) ==
          std::wstring(unit, count)) {
    return std::string(bytes, static_cast<std::size_t>(size));
  }
  if (count == 1 && (*unit == 0xB9 || *unit == 0xB2 || *unit == 0xB3)) {
    return std::string(1, static_cast<char>(*unit));
  }
  return "\x80";
}

}  // namespace

std::wstring toWide(const std::string& text) { return widen(text, CP_UTF8); }

std::string textOf(const wchar_t* wide) { return spellName(wide, CP_UTF8); }

std::wstring systemPath(const std::string& path) {
  std::wstring wide = toWide(path);
  if (isVerbatim(wide)) {
    // Our joins put "/" into it, and a trailing backslash of the user's
    // before that "/" would make an empty name: each run of separators is
    // one backslash here.
    std::wstring verbatim = wide.substr(0, 4);
    for (std::size_t i = 4; i < wide.size(); ++i) {
      if (!isSeparator(wide[i])) {
        verbatim += wide[i];
      } else if (verbatim.back() != L'\\') {
        verbatim += L'\\';
      }
    }
    return verbatim;
  }
  if (wide.size() < kLegacyPathLimit && isAbsolute(wide)) return wide;
  const std::wstring full = fullPath(wide);
  if (full.size() < kLegacyPathLimit) return wide;
  if (full.size() >= 4 && full[0] == L'\\' && full[1] == L'\\' &&
      (full[2] == L'?' || full[2] == L'.') && full[3] == L'\\') {
    return full;  // a device, such as \\.\COM1: no other form names it
  }
  if (full[0] == L'\\' && full[1] == L'\\') {
    return L"\\\\?\\UNC" + full.substr(1);  // \\server\share\...
  }
  return L"\\\\?\\" + full;
}

NameConversion nameConversion(unsigned codePage) {
  if (codePage == CP_UTF8) return {WC_ERR_INVALID_CHARS, nullptr};
  // No best fit: a fullwidth dot or solidus must not come back as '.' or '/'.
  return {WC_NO_BEST_FIT_CHARS, "?"};
}

std::string spellName(const wchar_t* name, unsigned codePage) {
  // The directory's own entries, whatever the conversion makes of names.
  if (std::wcscmp(name, L".") == 0) return ".";
  if (std::wcscmp(name, L"..") == 0) return "..";
  std::string text;
  if (convertName(name, codePage, &text)) return text;
  // UTF-8 spells every character but half a surrogate pair, and has no
  // default character to put in its place.
  std::wstring exact(name);
  for (std::size_t i = 0; i < exact.size(); ++i) {
    if (isHighSurrogate(exact[i]) && i + 1 < exact.size() &&
        isLowSurrogate(exact[i + 1])) {
      ++i;
    } else if (isHighSurrogate(exact[i]) || isLowSurrogate(exact[i])) {
      exact[i] = L'?';
    }
  }
  if (convertName(exact.c_str(), codePage, &text)) return text;
  return "?";
}

std::string ruleSpelling(const std::string& text, unsigned codePage) {
  if (codePage == CP_UTF8) return text;
  const std::wstring wide = toWide(text);
  std::string bytes;
  for (std::size_t at = 0; at < wide.size();) {
    const std::size_t units = unitsAt(wide, at);
    bytes += characterBytes(&wide[at], units, codePage);
    at += units;
  }
  return bytes;
}

std::string replaceTail(const std::string& text, std::size_t count,
                        const std::string& suffix, unsigned codePage) {
  if (codePage == CP_UTF8) {
    return text.substr(0, text.size() - count) + suffix;
  }
  const std::wstring wide = toWide(text);
  std::size_t end = wide.size();
  std::size_t cut = 0;
  std::string kept;
  while (cut < count && end > 0) {
    const std::size_t units = end >= 2 && isLowSurrogate(wide[end - 1]) &&
                                      isHighSurrogate(wide[end - 2])
                                  ? 2
                                  : 1;
    end -= units;
    const std::string bytes = characterBytes(&wide[end], units, codePage);
    cut += bytes.size();
    // A double-byte character across the cut keeps its lead byte, as the
    // byte cut of the ANSI name kept it.
    if (cut > count) kept = bytes.substr(0, cut - count);
  }
  std::wstring result = wide.substr(0, end) + widen(kept + suffix, codePage);
  return textOf(result.c_str());
}

std::string textOfLowBytes(const std::string& bytes, unsigned codePage) {
  // The stem and the last five bytes are read each on its own, so a lead
  // byte cannot take the suffix's dot as its trail byte, and the name still
  // ends in its suffix for the stem rule.
  const unsigned page = byteCodePage(codePage);
  const std::size_t cut =
      bytes.size() < kSuffixBytes ? 0 : bytes.size() - kSuffixBytes;
  return textOf(
      (widen(bytes.substr(0, cut), page) + widen(bytes.substr(cut), page))
          .c_str());
}

std::string modeSpelling(const std::string& word, unsigned codePage) {
  // Best fit on purpose: the word is compared, never opened.
  const std::wstring wide = toWide(word);
  if (wide.empty()) return std::string();
  const unsigned page = byteCodePage(codePage);
  const int length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(page, 0, wide.data(), length, nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(page, 0, wide.data(), length, &bytes[0], size, nullptr,
                      nullptr);
  return bytes;
}

std::string outputBytes(const std::string& text, unsigned codePage) {
  if (codePage == CP_UTF8) return text;
  return spellName(toWide(text).c_str(), codePage);
}

}  // namespace win32

std::string ruleSpelling(const std::string& text) {
  return win32::ruleSpelling(text, GetACP());
}

std::string replaceTail(const std::string& text, std::size_t count,
                        const std::string& suffix) {
  return win32::replaceTail(text, count, suffix, GetACP());
}

std::string textOfLowBytes(const std::string& bytes) {
  return win32::textOfLowBytes(bytes, GetACP());
}

std::string modeSpelling(const std::string& word) {
  return win32::modeSpelling(word, GetACP());
}

}  // namespace platform
