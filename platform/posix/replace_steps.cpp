#include "platform/replace_steps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/limits.h>
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/posix/fd.h"

namespace platform {
namespace steps {

using posix::fdOf;

namespace {

constexpr int kNoFollow = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;

void fill(const struct stat& info, Look* found) {
  found->regular = S_ISREG(info.st_mode);
  found->link = S_ISLNK(info.st_mode);
  found->id = FileId();
  found->id.volume = static_cast<std::uint64_t>(info.st_dev);
  found->id.index = static_cast<std::uint64_t>(info.st_ino);
  found->size = static_cast<std::uint64_t>(info.st_size);
  found->links = static_cast<std::uint64_t>(info.st_nlink);
  found->ours = info.st_uid == geteuid();
}

#if defined(__linux__)
// The names of a file's extended attributes, ACLs included. Linux caps
// the list and each value at 64 KiB, so one call with that much room always
// gets them whole.
bool attributeNames(int fd, std::vector<char>* names) {
  names->resize(XATTR_LIST_MAX);
  const ssize_t got = flistxattr(fd, names->data(), names->size());
  names->resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return got >= 0 || errno == ENOTSUP;
}

bool attributeValue(int fd, const char* name, std::vector<char>* value) {
  value->resize(XATTR_SIZE_MAX);
  const ssize_t got = fgetxattr(fd, name, value->data(), value->size());
  value->resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return got >= 0;
}

// Every attribute of `from` on `to`; an ACL goes last of the file's state so
// that no chmod after it narrows its mask.
Kept keepAttributes(int from, int to) {
  std::vector<char> names;
  if (!attributeNames(from, &names)) return Kept::kFailed;
  std::vector<char> value;
  std::vector<char> present;
  for (std::size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    at += std::char_traits<char>::length(name) + 1;
    if (!attributeValue(from, name, &value)) return Kept::kFailed;
    // A label the system gave the new file already needs no setting.
    if (attributeValue(to, name, &present) && present == value) continue;
    if (fsetxattr(to, name, value.data(), value.size(), 0) != 0) {
      return (errno == EPERM || errno == ENOTSUP || errno == EACCES)
                 ? Kept::kNo
                 : Kept::kFailed;
    }
  }
  return Kept::kYes;
}
#endif

}  // namespace

Cause lastCause() {
  switch (errno) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return Cause::kDiskFull;
    case EROFS:
      return Cause::kReadOnly;
    case EBUSY:
    case ETXTBSY:
      return Cause::kHeld;
    case ELOOP:
      return Cause::kBrokenLink;
    default:
      return Cause::kIo;
  }
}

bool lastWasMissing() { return errno == ENOENT; }

bool lastWasDenied() {
  return errno == EACCES || errno == EPERM || errno == EROFS;
}

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

bool resolveLinks(const std::string& path, std::string* target, Cause* cause) {
  std::string current = path;
  // The kernel's own limit on links in one look-up.
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0) {
      if (errno == ENOENT && hop == 0) break;  // no package yet
      *cause = errno == ENOENT ? Cause::kBrokenLink : lastCause();
      return false;
    }
    if (!S_ISLNK(info.st_mode)) break;
    // Anyone may put a link into such a folder: only one of our own, or
    // root's, may lead us elsewhere.
    const std::string folder = folderOf(current);
    struct stat where;
    if (stat(folder.c_str(), &where) != 0) {
      *cause = lastCause();
      return false;
    }
    if ((where.st_mode & S_IWOTH) != 0 && info.st_uid != geteuid() &&
        info.st_uid != 0) {
      *cause = Cause::kUnsafeLink;
      return false;
    }
    std::vector<char> to(static_cast<std::size_t>(info.st_size) + 2);
    const ssize_t length = readlink(current.c_str(), to.data(), to.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= to.size()) {
      *cause = Cause::kChanged;
      return false;
    }
    const std::string next(to.data(), static_cast<std::size_t>(length));
    if (next[0] == '/') {
      current = next;
    } else {
      current = folder + "/" + next;
    }
    if (hop == 39) {
      *cause = Cause::kBrokenLink;
      return false;
    }
  }
  *target = current;
  return true;
}

void folderAccess(const std::string& folder, bool* openToOthers, bool* sticky) {
  struct stat info;
  *openToOthers = false;
  *sticky = false;
  if (stat(folder.c_str(), &info) != 0) return;
  *openToOthers = (info.st_mode & S_IWOTH) != 0;
  *sticky = (info.st_mode & S_ISVTX) != 0;
}

File createNew(const std::string& path) {
  return File(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kNoFollow, 0600));
}

File openNoFollow(const std::string& path, bool forWriting) {
  File file(::open(path.c_str(), (forWriting ? O_RDWR : O_RDONLY) | kNoFollow));
  struct stat info;
  if (file.isOpen() &&
      (fstat(fdOf(file), &info) != 0 || !S_ISREG(info.st_mode))) {
    return File();
  }
  return file;
}

File openLockFile(const std::string& path, bool* created) {
  // Read-only is enough for flock, and a lock file someone else planted
  // cannot be written through.
  File file(
      ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | kNoFollow, 0644));
  *created = file.isOpen();  // kept even when the checks below fail
  if (!*created && errno == EEXIST) {
    file = File(::open(path.c_str(), O_RDONLY | kNoFollow));
  }
  struct stat info;
  if (file.isOpen() &&
      (fstat(fdOf(file), &info) != 0 || !S_ISREG(info.st_mode))) {
    errno = EISDIR;
    return File();
  }
  return file;
}

Locked lockExclusive(const File& file) {
  if (flock(fdOf(file), LOCK_EX | LOCK_NB) == 0) return Locked::kYes;
  if (errno == EWOULDBLOCK) return Locked::kBusy;
  // A file system without flock (some network ones) cannot lock at all.
  if (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP) {
    return Locked::kYes;
  }
  return Locked::kFailed;
}

bool mayWrite(const std::string& path) {
  return access(path.c_str(), W_OK) == 0;
}

bool mayReplace(const std::string&) { return true; }

bool linkName(const std::string& from, const std::string& to) {
  return link(from.c_str(), to.c_str()) == 0;
}

bool renameOver(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool removeName(const std::string& path) { return unlink(path.c_str()) == 0; }

bool syncFile(const File& file) { return fsync(fdOf(file)) == 0; }

bool syncFolder(const std::string& folder) {
  File dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.isOpen()) return errno != EIO;
  return fsync(fdOf(dir)) == 0 || errno == EINVAL || errno == EROFS ||
         errno == ENOTSUP;
}

bool readAt(const File& file, std::uint64_t offset, unsigned char* data,
            std::size_t size, std::size_t* got) {
  *got = 0;
  while (*got < size) {
    const ssize_t done = pread(fdOf(file), data + *got, size - *got,
                               static_cast<off_t>(offset + *got));
    if (done < 0) return false;
    if (done == 0) break;
    *got += static_cast<std::size_t>(done);
  }
  return true;
}

bool writeAt(const File& file, std::uint64_t offset, const unsigned char* data,
             std::size_t size) {
  while (size > 0) {
    const ssize_t done =
        pwrite(fdOf(file), data, size, static_cast<off_t>(offset));
    if (done <= 0) return false;
    data += done;
    offset += static_cast<std::uint64_t>(done);
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

bool truncateTo(const File& file, std::uint64_t size) {
  return ftruncate(fdOf(file), static_cast<off_t>(size)) == 0;
}

Kept keepMetadata(const File& from, const File& to) {
  struct stat old;
  struct stat mine;
  if (fstat(fdOf(from), &old) != 0 || fstat(fdOf(to), &mine) != 0) {
    return Kept::kFailed;
  }
  if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
      fchown(fdOf(to), old.st_uid, old.st_gid) != 0) {
    return errno == EPERM ? Kept::kNo : Kept::kFailed;
  }
  if (fchmod(fdOf(to), old.st_mode & 07777) != 0) return Kept::kFailed;
#if defined(__linux__)
  return keepAttributes(fdOf(from), fdOf(to));
#else
  return Kept::kYes;
#endif
}

bool giveModeOf(const File& from, const File& to) {
  struct stat old;
  if (fstat(fdOf(from), &old) != 0) return false;
  // The group where we may give it; where not, the copy's group (ours)
  // gets nothing, so it never reads wider than the package did.
  mode_t mode = old.st_mode & 0777;
  if (fchown(fdOf(to), static_cast<uid_t>(-1), old.st_gid) != 0) {
    if (errno != EPERM) return false;
    mode &= ~static_cast<mode_t>(070);
  }
  return fchmod(fdOf(to), mode) == 0;
}

void startWriteback(const File& file) {
#if defined(__linux__)
  sync_file_range(fdOf(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

}  // namespace steps
}  // namespace platform
