#ifndef QUILLMERE_PLATFORM_WIN32_PATH_H_
#define QUILLMERE_PLATFORM_WIN32_PATH_H_

#ifdef _WIN32
#include <string>

namespace platform {
// The Windows build's own pieces that are worth testing on their own: how a
// path reaches the W calls, and how a listed name is spelt in a code page.
namespace win32 {

// `path`, read in the ANSI code page, as the W calls take it. A path the
// legacy limit would refuse is made absolute and given the \\?\ form, so it
// opens what the short spelling would have opened; a path already in that
// form gets backslashes for the "/" our joins put into it, since there the
// system takes "/" for part of a name.
std::wstring systemPath(const std::string& path);

// How WideCharToMultiByte is asked to spell a name in `codePage`: UTF-8 takes
// no flag but WC_ERR_INVALID_CHARS and no default character, and fails
// outright on anything else.
struct NameConversion {
  unsigned long flags;
  const char* defaultChar;  // nullptr: the code page takes none
};
NameConversion nameConversion(unsigned codePage);

// A listed name in `codePage`, every character that has no exact form
// there written as '?', which no name the tool accepts holds.
std::string spellName(const wchar_t* name, unsigned codePage);

}  // namespace win32

}  // namespace platform
#endif  // _WIN32

#endif  // QUILLMERE_PLATFORM_WIN32_PATH_H_
