// The small steps the package's replacement is made of, one set per system.
// The protocol itself (platform/replacement.cpp) is written once over them;
// the per-system sources hold only these.
#ifndef QUILLMERE_PLATFORM_REPLACE_STEPS_H_
#define QUILLMERE_PLATFORM_REPLACE_STEPS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/replacement.h"

namespace platform {
namespace steps {

using Cause = Replacement::Cause;

// What a name or an open file is, links not followed.
struct Look {
  bool regular = false;
  bool link = false;
  FileId id;
  std::uint64_t size = 0;
  std::uint64_t links = 0;
  bool ours = false;  // owned by the user the tool runs as
};

// The folder that holds `path`: "." for a bare name.
std::string folderOf(const std::string& path);

// The cause the system gave for the step that just failed.
Cause lastCause();
// Whether the step that just failed found no file.
bool lastWasMissing();
// Whether the system refused the step for want of permission.
bool lastWasDenied();

// Looks at `path` itself; false when there is nothing there (lastWasMissing)
// or it cannot be looked at.
bool look(const std::string& path, Look* found);
bool lookOpen(const File& file, Look* found);

// Follows the symbolic links from `path` to the name of the file they lead
// to, which need not exist when `path` is no link. A link owned by another
// user (not root) in a folder others may write is not followed
// (kUnsafeLink); a link to nothing, or a loop, is kBrokenLink.
bool resolveLinks(const std::string& path, std::string* target, Cause* cause);

// Whether others may write `folder`, and whether it has the sticky bit.
void folderAccess(const std::string& folder, bool* openToOthers, bool* sticky);

// A new file only this user may read yet; never an existing name or a link.
File createNew(const std::string& path);
// An existing regular file or nothing, links not followed.
File openNoFollow(const std::string& path, bool forWriting);
// The lock file: created or opened, never through a link.
File openLockFile(const std::string& path, bool* created);
enum class Locked { kYes, kBusy, kFailed };
// An exclusive lock that goes when the process does, kill included.
Locked lockExclusive(const File& file);

// Whether this user may write the file at `path`.
bool mayWrite(const std::string& path);

// Whether another program lets the file at `path` be renamed over now
// (Windows: no one holds it without sharing its deletion; retried for a
// while). Always true where an open file is no obstacle.
bool mayReplace(const std::string& path);

bool linkName(const std::string& from, const std::string& to);
bool renameOver(const std::string& from, const std::string& to);
bool removeName(const std::string& path);
bool syncFile(const File& file);
// False only when the system reports that the folder's names may not be on
// the disk; a file system that cannot sync a folder is taken at its word.
bool syncFolder(const std::string& folder);

bool readAt(const File& file, std::uint64_t offset, unsigned char* data,
            std::size_t size, std::size_t* got);
bool writeAt(const File& file, std::uint64_t offset, const unsigned char* data,
             std::size_t size);
bool truncateTo(const File& file, std::uint64_t size);

enum class Kept { kYes, kNo, kFailed };
// Gives `to` everything of `from` that its users see besides its bytes:
// mode, owner, group, ACLs and extended attributes. kNo when one of them
// cannot be given here, so that only the old file itself keeps them.
Kept keepMetadata(const File& from, const File& to);
// For a copy of the package: its mode and group, never more open.
bool giveModeOf(const File& from, const File& to);

// A hint that the system may start writing out what it was handed.
void startWriteback(const File& file);

}  // namespace steps
}  // namespace platform

#endif  // QUILLMERE_PLATFORM_REPLACE_STEPS_H_
