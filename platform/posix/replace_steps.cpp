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
    if (aclOnly && name != "system.posix_acl_access") continue;
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
    if ((present.count(name) == 0 || present.at(name) != value) &&
        fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
      return errno == ENOTSUP ? Cause::kDenied : lastCause();
    }
  }
  return Cause::kNone;
}

}  // namespace

Cause lastCause() {
  static const struct {
    int error;
    Cause cause;
  } kCauses[] = {
      {ENOSPC, Cause::kDiskFull},
      {EDQUOT, Cause::kDiskFull},
      {EFBIG, Cause::kDiskFull},
      {EROFS, Cause::kReadOnlyVolume},
      {EEXIST, Cause::kChanged},
      {EISDIR, Cause::kNotRegular},  // set by openExisting()
      {ENXIO, Cause::kNotRegular},   // a socket, or a device not there
      {ENOTDIR, Cause::kNotFolder},
      {EBUSY, Cause::kHeld},
      {ETXTBSY, Cause::kHeld},
      {ELOOP, Cause::kBrokenLink},
      {EACCES, Cause::kDenied},
      {EPERM, Cause::kDenied},
  };
  for (const auto& known : kCauses) {
    if (known.error == errno) return known.cause;
  }
  return Cause::kIo;
}

bool lastWasMissing() { return errno == ENOENT; }

bool look(const std::string& path, Look* found) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  found->regular = S_ISREG(info.st_mode);
  found->id = posix::idOf(info);
  found->size = static_cast<std::uint64_t>(info.st_size);
  found->links = static_cast<std::uint64_t>(info.st_nlink);
  found->ours = info.st_uid == geteuid();
  found->readOnly = found->regular && access(path.c_str(), W_OK) != 0;
  found->openToOthers =
      S_ISDIR(info.st_mode) && (info.st_mode & (S_IWOTH | S_ISVTX)) == S_IWOTH;
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

File openExisting(const std::string& path, bool forWriting) {
  File file =
      posix::openExisting(path, (forWriting ? O_RDWR : O_RDONLY) | O_NOFOLLOW);
  struct stat info;
  if (file.isOpen() &&
      (fstat(fdOf(file), &info) != 0 || !S_ISREG(info.st_mode))) {
    errno = EISDIR;
    return File();
  }
  return file;
}

File createNew(const std::string& path) {
  return File(::open(path.c_str(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

Cause lockFile(const File& file, bool exclusive) {
  // A file system without flock (some network ones) cannot lock at all.
  if (flock(fdOf(file), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0 ||
      errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP) {
    return Cause::kNone;
  }
  return errno == EWOULDBLOCK ? Cause::kBusy : lastCause();
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
  Look there;
  if (look(to, &there)) {
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

bool syncFile(const File& file, bool wait) {
  if (wait) return fsync(fdOf(file)) == 0;
  sync_file_range(fdOf(file), 0, 0, SYNC_FILE_RANGE_WRITE);
  return true;
}

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
  const Cause kept = keepAttributes(fdOf(from), fdOf(to), copy);
  if (kept != Cause::kNone) return kept;
  // After the ACL: a narrowed group narrows its mask too.
  return fchmod(fdOf(to), copy ? mode & 0777 : mode) == 0 ? Cause::kNone
                                                          : lastCause();
}

}  // namespace steps
}  // namespace platform
