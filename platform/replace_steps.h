// The small steps the package's replacement is made of, one set per system.
// The protocol itself (platform/replacement.cpp) is written once over them.
#ifndef QUILLMERE_PLATFORM_REPLACE_STEPS_H_
#define QUILLMERE_PLATFORM_REPLACE_STEPS_H_

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/replacement.h"

namespace platform {
namespace steps {

using Cause = Replacement::Cause;

// What a name is, links not followed.
struct Look {
  bool regular = false;
  bool link = false;
  FileId id;
  std::uint64_t size = 0;
  std::uint64_t links = 0;
  // Owned by the user the tool runs as (Windows: the token's user or owner).
  bool ours = false;
  // A regular file this user may not write (Windows: the read-only flag).
  bool readOnly = false;
  // A folder others may write, and so swap files in (no sticky bit). Windows
  // decides with ACLs, which the tool does not judge.
  bool openToOthers = false;
};

// The cause the system gave for the step that just failed: kChanged for a
// name that was taken, kDenied for a permission; and whether it found
// nothing at a name.
Cause lastCause();
bool lastWasMissing();

bool look(const std::string& path, Look* found);

// Follows `path` to the file it leads to, one link at a time, each read
// from the descriptor it was judged on. Only a link of the running user's
// or root's (Windows: the user, Administrators or SYSTEM) is followed;
// another's is kUnsafeLink, a link to nothing or a loop kBrokenLink. With
// nothing at `path`, `target` is `path` itself (and kNone).
Cause resolveLinks(const std::string& path, std::string* target);

// An existing regular file, links not followed, shared for everything
// (a rename over it included); a FIFO never blocks the open.
File openExisting(const std::string& path, bool forWriting);
// A new file only this user may read yet; never an existing name or a link.
File createNew(const std::string& path);

// A lock that goes with the handle or the process (a kill included), which
// no reader of the bytes notices: flock, or LockFileEx on a byte far past
// the end. kNone when granted (a file system without locks grants it),
// kBusy when another holds it.
Cause lockFile(const File& file, bool exclusive);

// Whether another program lets the file be renamed over now (Windows: no
// one holds it without sharing its deletion; retried for a while).
bool mayReplace(const std::string& path);

// A second name that never replaces one.
bool linkName(const std::string& from, const std::string& to);
// Moves `from` to `to`: over a file there with `over`, else to a free name.
bool moveName(const std::string& from, const std::string& to, bool over);
// Puts the new file `fresh`, named `freshPath`, in place of `target`, whose
// lock `held` holds. Windows keeps the lock through the rename where the
// system allows it, and otherwise closes `held` first.
bool publish(const File& fresh, const std::string& freshPath,
             const std::string& target, File* held);
bool removeName(const std::string& path);

// With `wait` false, only a hint that the system may start writing out
// what it was handed.
bool syncFile(const File& file, bool wait = true);
// False only when the system reports that the folder's names may not be on
// the disk; a file system that cannot sync a folder is taken at its word.
bool syncFolder(const std::string& folder);

// Gives `to` exactly what the users of `from` see besides its bytes. For a
// new package: mode, owner, group, the access ACL (every entry, nothing of
// the folder's default) and the extended attributes; Windows: the DACL,
// owner, integrity label, attributes and alternate data streams. kDenied
// when one of them cannot be given, so only the old file keeps them. For a
// copy (`copy` true): the access ACL and mode, and the group where
// permitted (otherwise no group access); never the owner. kDenied when the
// copy would be readable by someone the package is not.
Cause keepMetadata(const File& from, const File& to, bool copy);

}  // namespace steps
}  // namespace platform

#endif  // QUILLMERE_PLATFORM_REPLACE_STEPS_H_
