// What the tool needs from the operating system beyond C stdio. Paths are
// narrow byte strings handed to the system unchanged.
#ifndef QUILLMERE_PLATFORM_PLATFORM_H_
#define QUILLMERE_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

namespace platform {

// Appends the name of every entry of the directory that `pattern` (the
// directory followed by "/*") searches, sub-directories included, for which
// `keep` is true; "." and ".." may be among them. Returns false, leaving
// `names` as it was, when the directory cannot be read. Names `keep` turns
// down are never stored, so a large directory costs memory only for the
// names the caller wants.
//
// POSIX gives the names in the order NTFS keeps them: bytes compared with
// ASCII a-z folded to A-Z, names equal under that fold ordered by their
// plain bytes, so a package rebuilt from a work directory has the same entry
// order wherever it is merged. Windows gives each name in the ANSI code page
// without best-fit guesses: a character that has no exact form there comes
// back as '?', never as a look-alike such as '.' or '/'.
bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names);

// Which file a handle or a path leads to, whatever spelling or link led
// there: device and inode on POSIX, volume serial and file index on Windows.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};
inline bool operator==(const FileId& a, const FileId& b) {
  return a.volume == b.volume && a.index == b.index;
}
inline bool operator<(const FileId& a, const FileId& b) {
  return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
}
bool identifyStream(std::FILE* file, FileId* id);
bool identifyPath(const std::string& path, FileId* id);

// A work file the tool opened itself: a descriptor on POSIX, a HANDLE on
// Windows. Work files bypass stdio: each one is written or read in a few
// large blocks, and stdio would add a system call or a copy to every file.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

enum class Opened {
  kCreated,     // did not exist; created empty
  kExisting,    // a regular file that was there; opened as it is, `id` set
  kNotRegular,  // a directory, FIFO, device or socket; nothing opened
  kFailed,      // could not be created or opened
};

// Opens `path` for writing. A file that does not exist yet is created
// exclusively, so it cannot be any file the caller already knows; an
// existing one is opened without truncation and identified, and is only
// ever opened when it is a regular file, so a FIFO or a device cannot block
// or be written. The caller truncates an existing file once it may.
Opened openForWriting(const std::string& path, FileHandle* file, FileId* id);
bool truncateFile(FileHandle file);
// Writes all `size` bytes, or returns false.
bool writeFile(FileHandle file, const unsigned char* data, std::size_t size);

// Opens a regular file for reading and sets `size`; kNoFile for a file that
// cannot be opened or is no regular file. A FIFO or device is never opened
// in a way that can block.
FileHandle openForReading(const std::string& path, std::uint64_t* size);
// Reads up to `size` bytes, fewer only at the end of the file or on an
// error; returns how many.
std::size_t readFile(FileHandle file, unsigned char* data, std::size_t size);

// Closes a handle from openForWriting or openForReading; false when the
// system reports that what was written did not all get through.
bool closeFile(FileHandle file);

// Tells the system that `file`, just created, will take `size` bytes, so it
// can set the space aside in one step instead of block by block as the writes
// come. Only a hint: the file's size does not change, and should the system
// decline, the writes do all the work.
void reserveSpace(FileHandle file, std::uint64_t size);

// The size in bytes of the regular file open as `file`, 64-bit on every
// system (a C long is 32 bits on Windows). False for anything that is not a
// regular file (fopen opens a directory for reading on some systems), or
// when the system cannot tell.
bool fileSize(std::FILE* file, std::uint64_t* size);

// What a merge may do with the package it is about to replace.
enum class Target { kMissing, kWritable, kReadOnly };
// kReadOnly: on POSIX a file the user may not write, on Windows one with the
// read-only attribute.
Target probeTarget(const std::string& path);

// Creates `path` for writing only when it does not exist yet: a link left
// in its place cannot send the bytes elsewhere. Buffered like any fopen.
std::FILE* createNewFile(const std::string& path);

// Gives `file` the permission bits of the file at `model` (POSIX); Windows
// leaves this to replaceFile, which keeps the attributes and ACLs.
void copyPermissions(std::FILE* file, const std::string& model);

// Pushes what was written to `file` down to the disk.
bool syncFile(std::FILE* file);

// Asks the system to start writing what `file` has been handed so far to the
// disk, without waiting for it, so the sync at the end has less left to wait
// for. Nothing buffered in the stream itself is flushed.
void startWriteback(std::FILE* file);

// Moves `from` over `to` and keeps the file that was at `to` as `backup`,
// replacing an older backup. At every moment `to` is the old file or the new
// one; on failure both `to` and `backup` are as they were. Durable when it
// returns true: a power cut afterwards brings back the new file.
bool replaceFile(const std::string& from, const std::string& to,
                 const std::string& backup);

// Waits for the user to press one key on `in`: any key on a terminal or a
// console, one byte (or the end of input) from a pipe or a file.
void waitForKey(std::FILE* in);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_PLATFORM_H_
