// What the tool needs from the operating system beyond the C++ library:
// files it opens itself, the directory listing, and the replacement of the
// package. Paths are narrow byte strings everywhere above this layer; the
// Windows source alone turns them into what its W functions take.
#ifndef QUILLMERE_PLATFORM_PLATFORM_H_
#define QUILLMERE_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
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
// exactly; a name the code page cannot spell exactly comes back holding a
// '?', which the name rule refuses.
bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names);

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
Opened openForWriting(const std::string& path, File* file, FileId* id);
bool truncateFile(const File& file);
// Writes all `size` bytes, or returns false.
bool writeFile(const File& file, const unsigned char* data, std::size_t size);

// Opens a regular file for reading and sets `size`; a closed File for one
// that cannot be opened or is no regular file. A FIFO or device is never
// opened in a way that can block. Others may go on reading, writing,
// renaming or deleting the file while it is open.
File openForReading(const std::string& path, std::uint64_t* size);
// Reads up to `size` bytes and sets `got` to how many: fewer only at the end
// of the file. False on a read error.
bool readSome(const File& file, unsigned char* data, std::size_t size,
              std::size_t* got);
// Reads exactly `size` bytes: false on a read error or an early end.
bool readExactly(const File& file, unsigned char* data, std::size_t size);

// Removes a file; false when it could not be removed (a missing file
// included).
bool removeFile(const std::string& path);

// Writes the text of a message to standard output. On a Windows console the
// ANSI text is shown as the characters it stands for, whatever code page
// the console itself uses; anywhere else the bytes go out as they are.
void writeOutput(const std::string& text);

// The names a Replacement of the package `packageName` ("shaders.spk")
// keeps beside it: the backup, the new package while it is written, and the
// files of the steps in between. A listing of the package directory must
// leave them out.
inline bool isReplacementName(const std::string& name,
                              const std::string& packageName) {
  if (name.compare(0, packageName.size(), packageName) != 0) return false;
  const std::string suffix = name.substr(packageName.size());
  return suffix == ".tmp" || suffix == ".bak" || suffix == ".bak.tmp" ||
         suffix == ".undo" || suffix == ".lock";
}

// Replaces the package at `path` so that the package the user had is never
// lost, whatever fails and whenever the process dies:
//
//   lock()    before anything else: becomes the one merge of this package
//             (false: another merge is running, or the directory refuses new
//             files), clears what a killed merge left, and puts back a package
//             a killed merge was rewriting in place.
//   open()    checks the package (a regular file or none, its state known,
//             writable) and starts the new package beside it.
//   write()   appends to the new package, unbuffered: the caller writes in
//             large pieces; writeAt() rewrites bytes of it.
//   commit()  makes the new package the package, keeping the old one as
//             `path` + ".bak".
//
// Anything not committed is abandoned when the object goes away: the
// package and its backup are left as they were, and nothing of the tool's
// stays beside them. At every moment the old package is whole under `path`
// or under the backup's name, a kill or a power cut included.
//
// A package that a new file cannot stand in for (a symbolic link, one with
// other hard links, or an owner, group or mode a new file cannot be given) is
// rewritten in place, and only once the new package and a copy of the old one
// are on the disk beside it; the backup is then a plain copy. Otherwise the
// new package is renamed over the old one and takes its mode, owner (where
// permitted) and group; on Windows its attributes and ACLs.
class Replacement {
 public:
  explicit Replacement(const std::string& path);
  ~Replacement();
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  bool lock();
  bool open();
  bool write(const unsigned char* data, std::size_t size);
  bool writeAt(std::uint64_t offset, const unsigned char* data,
               std::size_t size);

  enum class Commit {
    kDone,
    // The package is replaced, but the system could not confirm that the
    // replacement itself is on the disk: a power cut now may bring back the
    // old package.
    kUnsynced,
    kFailed,  // the package and its backup are as they were
  };
  // `replaceBackup` false leaves an existing backup as it is (the package
  // being replaced holds nothing worth keeping); a backup is made when there
  // is none.
  Commit commit(bool replaceBackup);
  void abandon();

  // Up to `size` bytes from the start of the package being replaced, for
  // deciding whether it is worth a backup; `got` tells how many there were.
  // False when it cannot be read.
  bool readOld(unsigned char* data, std::size_t size, std::size_t* got);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Waits for the user to press one key on `in`: any key on a terminal or a
// console, one byte (or the end of input) from a pipe or a file.
void waitForKey(std::FILE* in);

#ifdef _WIN32
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
#endif

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_PLATFORM_H_
