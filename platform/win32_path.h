#ifndef QUILLMERE_PLATFORM_WIN32_PATH_H_
#define QUILLMERE_PLATFORM_WIN32_PATH_H_

#ifdef _WIN32
#include <cstddef>
#include <string>

namespace platform {
// The Windows build's own pieces that are worth testing on their own: the
// one place where text turns into UTF-16 and back, how a path reaches the W
// calls, and how a name is spelt in a code page.
namespace win32 {

// The tool's text (UTF-8) as UTF-16: what a console is given, and what
// systemPath starts from.
std::wstring toWide(const std::string& text);
// UTF-16 as the tool's text; half a surrogate pair, which UTF-8 cannot
// spell, becomes '?', which no name the tool accepts holds.
std::string textOf(const wchar_t* wide);

// `path` as the W calls take it. A path the legacy limit would refuse is
// made absolute and given the \\?\ form, so it opens what the short
// spelling would have opened; a path already in that form gets backslashes
// for the "/" our joins put into it, since there the system takes "/" for
// part of a name.
std::wstring systemPath(const std::string& path);

// platform/text.h's spellings in a given ANSI `codePage`.
std::string ruleSpelling(const std::string& text, unsigned codePage);
std::string replaceTail(const std::string& text, std::size_t count,
                        const std::string& suffix, unsigned codePage);
std::string textOfLowBytes(const std::string& bytes, unsigned codePage);
std::string modeSpelling(const std::string& word, unsigned codePage);

// What standard output gets when it is no console: the text in `codePage`,
// '?' for what that code page cannot spell, as before the tool held UTF-8,
// so scripts reading it see no change.
std::string outputBytes(const std::string& text, unsigned codePage);

// How WideCharToMultiByte is asked to spell a name in `codePage`: UTF-8 takes
// no flag but WC_ERR_INVALID_CHARS and no default character, and fails
// outright on anything else.
struct NameConversion {
  unsigned long flags;
  const char* defaultChar;  // nullptr: the code page takes none
};
NameConversion nameConversion(unsigned codePage);

// A name in `codePage`, every character that has no exact form there
// written as '?'.
std::string spellName(const wchar_t* name, unsigned codePage);

}  // namespace win32

}  // namespace platform
#endif  // _WIN32

#endif  // QUILLMERE_PLATFORM_WIN32_PATH_H_
