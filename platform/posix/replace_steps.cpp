#include "platform/replace_steps.h"

// Linux's: O_PATH, renameat2, extended attributes, sync_file_range.
#include <fcntl.h>
#include <linux/limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

#include "platform/posix/fd.h"

namespace platform {
namespace steps {

using posix::fdOf;

namespace {

constexpr int kNoFollow = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
constexpr char kAcl[] = "system.posix_acl_access";

void fill(const struct stat& info, Look* found) {
  found->regular = S_ISREG(info.st_mode);
  found->id = posix::idOf(info);
  found->size = static_cast<std::uint64_t>(info.st_size);
  found->links = static_cast<std::uint64_t>(info.st_nlink);
  found->ours = info.st_uid == geteuid();
}

// A file's extended attributes, ACLs included (only the access ACL with
// `aclOnly`). Linux caps the list and each value at 64 KiB, so one call
// with that much room gets them whole.
using Attributes = std::map<std::string, std::vector<char>>;
bool attributes(int fd, bool aclOnly, Attributes* all) {
  std::vector<char> names(XATTR_LIST_MAX);
  const ssize_t got = flistxattr(fd, names.data(), names.size());
  if (got < 0) return errno == ENOTSUP;
  for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
    const std::string name(names.data() + at);
    at += name.size() + 1;
    if (aclOnly && name != kAcl) continue;
    std::vector<char> value(XATTR_SIZE_MAX);
    const ssize_t size =
        fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (size < 0) return false;
    value.resize(static_cast<std::size_t>(size));
    (*all)[name] = std::move(value);
  }
  return true;
}

// `to` gets exactly the attributes `from` has: one the folder's default ACL
// gave it is removed, one the system gave it already is not set again.
Cause keepAttributes(int from, int to, bool aclOnly) {
  Attributes wanted;
  Attributes present;
  if (!attributes(from, aclOnly, &wanted) ||
      !attributes(to, aclOnly, &present)) {
    return lastCause();
  }
  for (const auto& [name, value] : present) {
    if (wanted.count(name) == 0 && fremovexattr(to, name.c_str()) != 0) {
      return Cause::kDenied;
    }
  }
  for (const auto& [name, value] : wanted) {
    const auto there = present.find(name);
    if ((there == present.end() || there->second != value) &&
        fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
      return errno == ENOTSUP ? Cause::kDenied : lastCause();
    }
  }
  return Cause::kNone;
}

}  // namespace

Cause lastCause() {
  switch (errno) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return Cause::kDiskFull;
    case EROFS:
      return Cause::kReadOnlyVolume;
    case EEXIST:
      return Cause::kChanged;
    case ENOTDIR:
      return Cause::kNotFolder;
    case EBUSY:
    case ETXTBSY:
      return Cause::kHeld;
    case ELOOP:
      return Cause::kBrokenLink;
    case EACCES:
    case EPERM:
      return Cause::kDenied;
    default:
      return Cause::kIo;
  }
}

bool lastWasMissing() { return errno == ENOENT; }

bool look(const std::string& path, Look* found) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  fill(info, found);
  return true;
}

bool lookOpen(const File& file, Look* found) {
  struct stat info;
  if (fstat(fdOf(file), &info) != 0) return false;
  fill(info, found);
  return true;
}

Cause resolveLinks(const std::string& path, std::string* target) {
  *target = path;
  // The kernel's own limit on links in one look-up.
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info;
    if (lstat(target->c_str(), &info) != 0) {
      // Nothing at `path` is no package yet.
      if (errno != ENOENT) return lastCause();
      return hop == 0 ? Cause::kNone : Cause::kBrokenLink;
    }
    if (!S_ISLNK(info.st_mode)) return Cause::kNone;
    const std::string link = *target;
    const posix::Link followed = posix::followLink(link, target);
    if (followed != posix::Link::kOurs) {
      return followed == posix::Link::kOthers ? Cause::kUnsafeLink
                                              : Cause::kChanged;
    }
  }
  return Cause::kBrokenLink;
}

bool openToOthers(const std::string& folder) {
  struct stat info;
  return stat(folder.c_str(), &info) == 0 &&
         (info.st_mode & (S_IWOTH | S_ISVTX)) == S_IWOTH;
}

File openExisting(const std::string& path, bool forWriting) {
  File file(::open(path.c_str(), (forWriting ? O_RDWR : O_RDONLY) | kNoFollow));
  struct stat info;
  if (file.isOpen() &&
      (fstat(fdOf(file), &info) != 0 || !S_ISREG(info.st_mode))) {
    errno = EISDIR;
    return File();
  }
  return file;
}

File createNew(const std::string& path) {
  return File(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kNoFollow, 0600));
}

Cause lockFile(const File& file, bool exclusive) {
  // A file system without flock (some network ones) cannot lock at all.
  if (flock(fdOf(file), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0 ||
      errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP) {
    return Cause::kNone;
  }
  return errno == EWOULDBLOCK ? Cause::kBusy : lastCause();
}

bool mayWrite(const std::string& path) {
  return access(path.c_str(), W_OK) == 0;
}

bool mayReplace(const std::string&) { return true; }

bool linkName(const std::string& from, const std::string& to) {
  return link(from.c_str(), to.c_str()) == 0;
}

bool moveName(const std::string& from, const std::string& to, bool over) {
  if (over) return std::rename(from.c_str(), to.c_str()) == 0;
  if (syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
              1 /* RENAME_NOREPLACE */) == 0) {
    return true;
  }
  if (errno != ENOSYS && errno != EINVAL) return false;
  // A file system without it: only a name that is free now, under the
  // package's lock.
  struct stat info;
  if (lstat(to.c_str(), &info) == 0) {
    errno = EEXIST;
    return false;
  }
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool publish(const File&, const std::string& freshPath,
             const std::string& target, File*) {
  return moveName(freshPath, target, true);
}

bool removeName(const std::string& path) { return removeFile(path); }

bool syncFile(const File& file) { return fsync(fdOf(file)) == 0; }

bool syncFolder(const std::string& folder) {
  File dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.isOpen()) return errno != EIO;
  return fsync(fdOf(dir)) == 0 || errno == EINVAL || errno == EROFS ||
         errno == ENOTSUP;
}

Cause keepMetadata(const File& from, const File& to, bool copy) {
  struct stat old;
  if (fstat(fdOf(from), &old) != 0) return lastCause();
  mode_t mode = old.st_mode & 07777;
  // A copy never takes the owner; where its group cannot be given, its
  // group gets nothing (with an ACL: the mask, so no named entry either).
  if (fchown(fdOf(to), copy ? static_cast<uid_t>(-1) : old.st_uid,
             old.st_gid) != 0) {
    if (errno != EPERM || !copy) return lastCause();
    mode &= ~static_cast<mode_t>(070);
  }
  if (fchmod(fdOf(to), copy ? mode & 0777 : mode) != 0) return lastCause();
  const Cause kept = keepAttributes(fdOf(from), fdOf(to), copy);
  // An ACL set after the chmod brings its mask back: narrow it again.
  if (kept == Cause::kNone && (mode & 070) != (old.st_mode & 070) &&
      fchmod(fdOf(to), mode & 0777) != 0) {
    return lastCause();
  }
  return kept;
}

void startWriteback(const File& file) {
  sync_file_range(fdOf(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

}  // namespace steps
}  // namespace platform
