#include "platform/text.h"

namespace platform {

// The bytes are the names: nothing is converted on POSIX.

std::string ruleSpelling(const std::string& text) { return text; }

std::string replaceTail(const std::string& text, std::size_t count,
                        const std::string& suffix) {
  return text.substr(0, text.size() - count) + suffix;
}

std::string textOfLowBytes(const std::string& bytes) { return bytes; }

std::string modeSpelling(const std::string& word) { return word; }

}  // namespace platform
