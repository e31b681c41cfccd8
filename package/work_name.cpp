#include "package/work_name.h"

#include <cstring>

#include "package/format.h"
#include "package/shader_package.h"
#include "platform/platform.h"

namespace {

bool equalsUpper(const std::string& text, const char* word) {
  if (text.size() != std::strlen(word)) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (platform::upperAscii(text[i]) != word[i]) return false;
  }
  return true;
}

// Windows opens a device for these whatever follows the first dot, and
// ignores spaces before that dot. COM and LPT take a digit or a superscript
// one, two or three (Windows-1252 B9, B2, B3).
bool isDeviceName(const std::string& name) {
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equalsUpper(stem, device)) return true;
  }
  if (stem.size() != 4) return false;
  const std::string port = stem.substr(0, 3);
  const unsigned char number = static_cast<unsigned char>(stem[3]);
  return (equalsUpper(port, "COM") || equalsUpper(port, "LPT")) &&
         ((number >= '0' && number <= '9') || number == 0xB9 ||
          number == 0xB2 || number == 0xB3);
}

bool isFileName(const std::string& name) {
  if (name.size() < format::kStemCut) return false;
  for (unsigned char c : name) {
    // The control test comes first: strchr would find a zero byte.
    if (c < 32 || c == 127 || std::strchr("/\\:*?\"<>|", c) != nullptr) {
      return false;
    }
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !isDeviceName(name);
}

}  // namespace

std::string workingName(const unsigned char* header, std::size_t headerSize) {
  std::string bytes;
  for (std::size_t at = format::kEntryFixedSize;
       at + format::kBytesPerCodeUnit + format::kSizeFieldSize <= headerSize;
       at += format::kBytesPerCodeUnit) {
    if (header[at] == 0) break;
    bytes += static_cast<char>(header[at]);
  }
  return platform::textOfLowBytes(bytes);
}

bool isSafeName(const std::string& name) {
  if (!isFileName(platform::ruleSpelling(name))) return false;
  return isFileName(platform::ruleSpelling(preFilePath(name)));
}

bool endsInShaderSuffix(const std::string& name) {
  const std::size_t n = format::kStemCut;
  if (name.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (platform::lowerAscii(name[name.size() - n + i]) !=
        format::kShaderSuffix[i]) {
      return false;
    }
  }
  return true;
}
