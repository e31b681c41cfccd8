#ifndef QUILLMERE_TESTS_SUPPORT_TEXT_H_
#define QUILLMERE_TESTS_SUPPORT_TEXT_H_

#include <string>

inline bool startsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

inline bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

#endif  // QUILLMERE_TESTS_SUPPORT_TEXT_H_
