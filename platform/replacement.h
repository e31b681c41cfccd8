// The package's replacement: the one place that writes shaders.spk.
#ifndef QUILLMERE_PLATFORM_REPLACEMENT_H_
#define QUILLMERE_PLATFORM_REPLACEMENT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

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

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_REPLACEMENT_H_
