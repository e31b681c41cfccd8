// The package's replacement: the one place that writes shaders.spk.
#ifndef QUILLMERE_PLATFORM_REPLACEMENT_H_
#define QUILLMERE_PLATFORM_REPLACEMENT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The names a Replacement of the package `packageName` ("shaders.spk")
// keeps beside it: the backup, the kept original, the new package while it
// is written, the lock, and the files of the steps in between. A listing of
// the package directory must leave them out.
inline bool isReplacementName(const std::string& name,
                              const std::string& packageName) {
  if (name.compare(0, packageName.size(), packageName) != 0) return false;
  const std::string suffix = name.substr(packageName.size());
  return suffix == ".tmp" || suffix == ".bak" || suffix == ".bak.tmp" ||
         suffix == ".undo" || suffix == ".lock" || suffix == ".orig";
}

// Replaces the package at `path` so that the package the user had is never
// lost, whatever fails and whenever the process dies:
//
//   lock()    before anything else, silently: becomes the one merge of this
//             package.
//   open()    once the merge knows what it packs: proves and clears what a
//             killed merge left, checks the package (a regular file or
//             none, writable) and starts the new package.
//   write()   appends to the new package, unbuffered: the caller writes in
//             large pieces; writeAt() rewrites bytes of it.
//   commit()  makes the new package the package, keeping the old one as
//             `path` + ".bak" (and, the first time, as `path` + ".orig").
//
// A symbolic link is followed to the file it leads to, which is replaced
// where it lives: the new file and the lock go beside it, the backup stays
// beside `path`. The new file is renamed over the old one and takes its
// mode, owner, group, ACLs and extended attributes. Where a new file cannot
// stand in for the old one (other hard links, an owner or attributes that
// cannot be given, a folder that refuses new files), the old file is
// rewritten in place, but only once the new package and a proven copy of
// the old one (`path` + ".undo") are on the disk beside `path`.
//
// Anything not committed is abandoned when the object goes away: the
// package and its backup are left as they were. At every moment the package
// the user had is whole under `path`, the backup, or a recovery file that
// the next merge puts back or rolls forward by itself.
class Replacement {
 public:
  // Why the package could not be replaced, for the line after the failure.
  enum class Cause {
    kNone,
    kBusy,           // another merge of this package holds the lock
    kNoFolder,       // the package's folder does not exist: causeName()
    kFolderRefuses,  // no new file may be made beside the package
    kReadOnly,       // the package or its file system is read-only
    kNotRegular,     // a directory, device or the like
    kBrokenLink,     // a link that leads to no file, or a loop of links
    kUntrusted,      // a file of the tool's names it did not make: causeName()
    kOwnName,        // the package is one of the tool's own files: causeName()
    kDiskFull,
    kHeld,        // another program holds the package
    kUnsafeLink,  // a link of another user's in a folder others may write
    kChanged,     // swapped while the merge ran
    kIo,
  };

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

  // After open(): whether there was a package to replace.
  bool existed() const;
  // After lock() or open(): whether others may write the package's folder
  // and swap the package while the tool runs (no sticky bit).
  bool folderOpenToOthers() const;
  // Why the last step failed, and the file it names, if any.
  Cause cause() const { return cause_; }
  const std::string& causeName() const { return causeName_; }

 private:
  void report();

  struct State;
  std::unique_ptr<State> state_;
  Cause cause_ = Cause::kNone;
  std::string causeName_;
};

// Whether a merge that rewrote the package at `path` in place was stopped
// before it finished, so that the file may be part new and part old; sets
// `recoveryName` to the copy of the old package that the next merge puts
// back.
bool unfinishedRewrite(const std::string& path, std::string* recoveryName);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_REPLACEMENT_H_
