// What the tool needs from the operating system beyond C stdio. Paths are
// narrow byte strings handed to the system unchanged.
#ifndef QUILLMERE_PLATFORM_PLATFORM_H_
#define QUILLMERE_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// Appends the name of every entry of the directory that `pattern` (the
// directory followed by "/*") searches, sub-directories included; "." and
// ".." may be among them. Returns false when the directory cannot be read.
bool listDirectory(const std::string& pattern, std::vector<std::string>* names);

// False for a stream opened on a directory, which some systems allow.
bool isRegularFile(std::FILE* file);

// Pushes what was written to `file` down to the disk.
bool syncFile(std::FILE* file);

// Moves `from` over `to`, replacing it in one step.
bool replaceFile(const std::string& from, const std::string& to);

// The size in bytes of the regular file open as `file`, 64-bit on every
// system (a C long is 32 bits on Windows). False for anything that is not a
// regular file, or when the system cannot tell.
bool fileSize(std::FILE* file, std::uint64_t* size);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_PLATFORM_H_
