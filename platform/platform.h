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
//
// The names come in the order NTFS keeps them, on every system: bytes
// compared with ASCII a-z folded to A-Z, names equal under that fold ordered
// by their plain bytes. A package rebuilt from a work directory therefore has
// the same entry order wherever it is merged.
bool listDirectory(const std::string& pattern, std::vector<std::string>* names);

// Pushes what was written to `file` down to the disk.
bool syncFile(std::FILE* file);

// Moves `from` over `to`, replacing it in one step.
bool replaceFile(const std::string& from, const std::string& to);

// The size in bytes of the regular file open as `file`, 64-bit on every
// system (a C long is 32 bits on Windows). False for anything that is not a
// regular file (fopen opens a directory for reading on some systems), or
// when the system cannot tell.
bool fileSize(std::FILE* file, std::uint64_t* size);

// Asks the system to start writing what `file` has been handed so far to the
// disk, without waiting for it, so the sync at the end has less left to wait
// for. Nothing buffered in the stream itself is flushed.
void startWriteback(std::FILE* file);

// Tells the system that `file`, just created, will take `size` bytes, so it
// can set the space aside in one step instead of block by block as the writes
// come. Only a hint: the file's size does not change, and should the system
// decline, the writes do all the work.
void reserveSpace(std::FILE* file, std::uint64_t size);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_PLATFORM_H_
