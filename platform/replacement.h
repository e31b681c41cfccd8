// The package's replacement: the one place that writes shaders.spk.
#ifndef QUILLMERE_PLATFORM_REPLACEMENT_H_
#define QUILLMERE_PLATFORM_REPLACEMENT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"

namespace platform {

// Every name of the tool's beside the package `packageName`: the backup,
// the original, the working names ("shaders.spk.new~3f2a91c0" is a new
// package), and the names an earlier release left. A listing of the
// package folder leaves them out.
bool isReplacementName(const std::string& name, const std::string& packageName);

// Replaces the package at `path` so that the package the user had is never
// lost, whatever fails and whenever the process dies: lock() first (every
// merge of the file, through any name, is the only one); open() once the
// merge knows what it packs; write() and writeAt() build the new package;
// commit() puts it in place, the old one as `path` + ".bak" (and the first
// time `path` + ".orig"). docs/DEVELOPING.md tells the protocol.
class Replacement {
 public:
  // Why the package could not be replaced, for the line after the failure.
  enum class Cause {
    kNone,
    kBusy,            // another merge of this package holds the lock
    kNoFolder,        // the package's folder does not exist: causeName()
    kFolderRefuses,   // no new file may be made beside the package
    kReadOnly,        // the package is read-only
    kReadOnlyVolume,  // the file system or the disk is read-only
    kNotFolder,       // the package's folder is a file: causeName()
    kDenied,          // this user may not replace the package
    kNotRegular,      // a directory, device or the like
    kBrokenLink,      // a link that leads to no file, or a loop of links
    kUntrusted,       // a file of the tool's names it did not make: causeName()
    kEarlierRelease,  // a file an earlier release left: causeName()
    kOwnName,         // the package is one of the tool's own files: causeName()
    kUnfinished,      // a rewrite in place was stopped: the guard causeName()
    kDiskFull,
    kHeld,        // another program holds the package
    kUnsafeLink,  // a link of another user's
    kChanged,     // swapped while the merge ran
    kIo,
  };

  explicit Replacement(const std::string& path);
  ~Replacement();

  bool lock();
  bool open();
  bool write(const unsigned char* data, std::size_t size);
  bool writeAt(std::uint64_t offset, const unsigned char* data,
               std::size_t size);

  enum class Commit {
    kDone,
    // The package is replaced, but the system could not confirm that the
    // replacement itself is on the disk.
    kUnsynced,
    // The package is replaced, but the old one could not take the backup's
    // name: causeName() holds it.
    kNoBackup,
    kFailed,  // the package and its backup are as they were
  };
  // `replaceBackup` false leaves an existing backup as it is (the package
  // being replaced holds nothing worth keeping); a backup is made when there
  // is none.
  Commit commit(bool replaceBackup);

  // After open(): the package being replaced, open for reading; closed when
  // there was none.
  const File& old() const;

  // Whether others may write the package's folder and swap the package
  // while the tool runs (no sticky bit).
  bool folderOpenToOthers() const;
  // Why the last step failed, and the file it names, if any.
  Cause cause() const;
  const std::string& causeName() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// For extraction: takes the lock of the package `file`, opened from `path`,
// shared for as long as `file` is open, and tells why it must not be read
// (a merge is rewriting it, or left it part new, part old), naming the file
// that explains it. kNone when it may be read.
Replacement::Cause checkReadable(const std::string& path, const File& file,
                                 std::string* name);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_REPLACEMENT_H_
