// How names and paths are held above this layer, and the spellings the name
// rules and the mode word are judged in.
//
// Text is a narrow byte string everywhere above platform/: on POSIX the
// bytes the system gives and takes; on Windows UTF-8, so that every name a
// user can type or a folder can hold is spelt exactly, turned into UTF-16
// for the system in platform/win32/path.cpp alone.
#ifndef QUILLMERE_PLATFORM_TEXT_H_
#define QUILLMERE_PLATFORM_TEXT_H_

#include <cstddef>
#include <string>

namespace platform {

// The bytes the name rules judge and count. On POSIX the text itself. On
// Windows its spelling in the ANSI code page, which is what the tool judged
// before it held UTF-8, so every name that code page can spell gets the
// same verdict and the same files; a character it cannot spell counts as
// the one byte 0x80 (no separator, no control), and a superscript one, two
// or three as its Latin-1 byte, since Windows takes COM¹ for a port
// whatever the code page.
std::string ruleSpelling(const std::string& text);

// `text` with the characters that make up the last `count` bytes of its
// rule spelling replaced by `suffix`: the stem rule, counted as the rule
// spelling counts.
std::string replaceTail(const std::string& text, std::size_t count,
                        const std::string& suffix);

// The low bytes of a package entry's name as text: on Windows read in the
// ANSI code page as the A calls read them (a double-byte code page pairs
// lead and trail bytes), or as Windows-1252 where that code page is UTF-8,
// which has no character for a lone byte. The last five bytes are read on
// their own, so no character spans the stem rule's cut.
std::string textOfLowBytes(const std::string& bytes);

// The mode word as it is compared: on Windows its best-fit spelling in the
// ANSI code page (Windows-1252 where that is UTF-8), as the A command line
// gave it, so a fullwidth "extract" still extracts rather than merging.
std::string modeSpelling(const std::string& word);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_TEXT_H_
