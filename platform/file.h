// Files the tool opens itself, and which file a path or a handle leads to.
// Paths are narrow byte strings; the Windows sources alone turn them into
// what the W functions take.
#ifndef QUILLMERE_PLATFORM_FILE_H_
#define QUILLMERE_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// ASCII letters folded, every other byte as it is: the only case rule of
// the tool's, for mode words, suffixes, device names and NTFS order.
inline char upperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
inline char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// A file the tool opened itself. It closes itself when it goes away, so no
// path of the caller's has to; close() is there for the writer who needs to
// know that what it wrote got through. Move-only.
class File {
 public:
  File() = default;
  explicit File(FileHandle handle) : handle_(handle) {}
  ~File() { close(); }
  File(File&& other) noexcept : handle_(other.release()) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = other.release();
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool isOpen() const { return handle_ != kNoFile; }
  FileHandle handle() const { return handle_; }
  // Closes now; false when the system reports that what was written did not
  // all get through. Closing a file that is not open is a success.
  bool close();

 private:
  FileHandle release() {
    const FileHandle handle = handle_;
    handle_ = kNoFile;
    return handle;
  }
  FileHandle handle_ = kNoFile;
};

// Which file a handle or a path leads to, whatever spelling or link led
// there: device and inode on POSIX, volume serial and file id on Windows.
// A file the system cannot identify has no FileId at all: the identify
// calls return false, and such a file is equal to nothing.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t high = 0;  // the upper half of a 128-bit Windows file id
  std::uint64_t index = 0;
};
inline bool operator==(const FileId& a, const FileId& b) {
  return a.volume == b.volume && a.high == b.high && a.index == b.index;
}
inline bool operator<(const FileId& a, const FileId& b) {
  if (a.volume != b.volume) return a.volume < b.volume;
  if (a.high != b.high) return a.high < b.high;
  return a.index < b.index;
}
bool identify(const File& file, FileId* id);
bool identifyPath(const std::string& path, FileId* id);

// What a path the user gave leads to, links followed, for the line that
// says why it did not work. Nothing is opened.
enum class PathKind {
  kMissing,  // nothing of that name (or a folder on its way is missing)
  kFile,     // a regular file
  kOther,    // a folder, a device, or what cannot be looked at
};
PathKind pathKind(const std::string& path);

enum class Opened {
  kCreated,     // did not exist; created empty
  kExisting,    // a regular file that was there; opened as it is, `id` set
  kNotRegular,  // a directory, FIFO, device or socket; nothing opened
  kOthersLink,  // a link another user made (see openForReading); nothing opened
  kFailed,      // could not be created or opened
};

// Opens `path` for writing. A file that does not exist yet is created
// exclusively, so it cannot be any file the caller already knows; an
// existing one is opened without truncation and identified, and is only
// ever opened when it is a regular file, so a FIFO or a device cannot block
// or be written. A symbolic link (a reparse point) at `path` is followed
// only when it is this user's, root's, or on Windows the Administrators' or
// SYSTEM's: in a folder others may write, another user's link could lead to
// any file of ours. The caller truncates an existing file once it may.
Opened openForWriting(const std::string& path, File* file, FileId* id);

// Reads and writes at `offset`, never through a position of the handle's,
// so no read moves where another starts. readAt reads up to `size` bytes
// and sets `got`: fewer only at the end of the file.
bool readAt(const File& file, std::uint64_t offset, unsigned char* data,
            std::size_t size, std::size_t* got);
// Writes all `size` bytes, or returns false.
bool writeAt(const File& file, std::uint64_t offset, const unsigned char* data,
             std::size_t size);
bool truncateTo(const File& file, std::uint64_t size);
// The file's first `size` bytes: false on a read error or an early end.
inline bool readExactly(const File& file, unsigned char* data,
                        std::size_t size) {
  std::size_t got = 0;
  return readAt(file, 0, data, size, &got) && got == size;
}

// Opens a regular file for reading and sets `size`; a closed File for one
// that cannot be opened or is no regular file. A FIFO or device is never
// opened in a way that can block. Others may go on reading, writing,
// renaming or deleting the file while it is open. With `othersLink`, a link
// at `path` is followed only as openForWriting follows it, and
// `othersLink` tells whether another user's link was refused.
File openForReading(const std::string& path, std::uint64_t* size,
                    bool* othersLink = nullptr);

// Removes a file; false when it could not be removed (a missing file
// included).
bool removeFile(const std::string& path);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_FILE_H_
