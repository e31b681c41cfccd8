#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "platform/posix/fd.h"

namespace platform {

namespace posix {

File openExisting(const std::string& path, int flags) {
  return File(open(path.c_str(), flags | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
}

FileId idOf(const struct stat& info) {
  FileId id;
  id.volume = static_cast<std::uint64_t>(info.st_dev);
  id.index = static_cast<std::uint64_t>(info.st_ino);
  return id;
}

Link followLink(const std::string& path, std::string* target) {
  const File link(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (!link.isOpen() || fstat(fdOf(link), &info) != 0 ||
      !S_ISLNK(info.st_mode)) {
    return Link::kFailed;
  }
  if (info.st_uid != geteuid() && info.st_uid != 0) return Link::kOthers;
  char text[PATH_MAX];
  const ssize_t length = readlinkat(fdOf(link), "", text, sizeof text);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) {
    return Link::kFailed;
  }
  // A relative target starts from the link's own folder.
  *target =
      text[0] == '/' ? std::string() : path.substr(0, path.rfind('/') + 1);
  target->append(text, static_cast<std::size_t>(length));
  return Link::kOurs;
}

}  // namespace posix

using posix::fdOf;
using posix::followLink;
using posix::idOf;
using posix::Link;
using posix::openExisting;

bool File::close() {
  if (handle_ == kNoFile) return true;
  return ::close(static_cast<int>(release())) == 0;
}

bool identify(const File& file, FileId* id) {
  struct stat info;
  if (fstat(fdOf(file), &info) != 0) return false;
  *id = idOf(info);
  return true;
}

bool identifyPath(const std::string& path, FileId* id) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *id = idOf(info);
  return true;
}

PathKind pathKind(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? PathKind::kMissing : PathKind::kOther;
  }
  return S_ISREG(info.st_mode) ? PathKind::kFile : PathKind::kOther;
}

Opened openForWriting(const std::string& path, File* file, FileId* id) {
  // A fresh extraction only ever takes this path: one call, no look-up.
  File created(open(path.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666));
  if (created.isOpen()) {
    *file = std::move(created);
    return Opened::kCreated;
  }
  if (errno != EEXIST) return Opened::kFailed;
  // Something is there already. Only a regular file is opened at all; the
  // non-blocking open keeps a FIFO swapped in after the look-up from
  // holding us, and the second look-up on the open file settles it. A file
  // swapped for a link after the look-up is not followed.
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return Opened::kFailed;
  std::string target = path;
  int follow = O_NOFOLLOW;
  if (S_ISLNK(info.st_mode)) {
    const Link link = followLink(path, &target);
    if (link == Link::kOthers) return Opened::kOthersLink;
    if (link == Link::kFailed || stat(target.c_str(), &info) != 0) {
      return Opened::kFailed;
    }
    follow = 0;
  }
  if (!S_ISREG(info.st_mode)) return Opened::kNotRegular;
  File existing = openExisting(target, O_WRONLY | follow);
  if (!existing.isOpen()) return Opened::kFailed;
  if (fstat(fdOf(existing), &info) != 0 || !S_ISREG(info.st_mode)) {
    return Opened::kNotRegular;
  }
  *file = std::move(existing);
  *id = idOf(info);
  return Opened::kExisting;
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

File openForReading(const std::string& path, std::uint64_t* size,
                    bool* othersLink) {
  // Non-blocking, so opening a FIFO returns at once; it is then refused as
  // no regular file.
  File file = openExisting(path, O_RDONLY | (othersLink ? O_NOFOLLOW : 0));
  if (othersLink) *othersLink = false;
  if (!file.isOpen() && othersLink && errno == ELOOP) {
    std::string target;
    const Link link = followLink(path, &target);
    *othersLink = link == Link::kOthers;
    if (link == Link::kOurs) file = openExisting(target, O_RDONLY);
  }
  struct stat info;
  if (!file.isOpen() || fstat(fdOf(file), &info) != 0 ||
      !S_ISREG(info.st_mode)) {
    return File();
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  return file;
}

bool removeFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace platform
