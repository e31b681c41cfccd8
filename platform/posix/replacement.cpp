#include "platform/replacement.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/posix/fd.h"

namespace platform {

using posix::fdOf;
using posix::openExisting;

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory part of a path the tool formed: the package directory
// followed by "/shaders.spk", so there is always a slash.
std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

enum class Synced { kYes, kFailed };

// Makes the names a rename or unlink changed in `directory` durable. A file
// system that cannot sync a directory at all is taken at its word; an I/O
// error is not.
Synced syncDirectory(const std::string& directory) {
  File dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.isOpen()) return errno == EIO ? Synced::kFailed : Synced::kYes;
  if (fsync(fdOf(dir)) == 0 || errno == EINVAL || errno == EROFS ||
      errno == ENOTSUP) {
    return Synced::kYes;
  }
  return Synced::kFailed;
}

// Copies everything of `from` to `to` from their starts, cuts `to` to that
// length and puts it on the disk.
bool copyData(const File& from, const File& to,
              std::vector<unsigned char>* buffer) {
  if (lseek(fdOf(from), 0, SEEK_SET) != 0 ||
      lseek(fdOf(to), 0, SEEK_SET) != 0) {
    return false;
  }
  off_t total = 0;
  for (;;) {
    std::size_t got = 0;
    if (!readSome(from, buffer->data(), buffer->size(), &got)) return false;
    if (got == 0) break;
    if (!writeFile(to, buffer->data(), got)) return false;
    total += static_cast<off_t>(got);
  }
  return ftruncate(fdOf(to), total) == 0 && fsync(fdOf(to)) == 0;
}

// Copies the file at `from` to a new file `to`, on the disk when it returns
// true; nothing is left at `to` otherwise.
bool copyToNewFile(const std::string& from, const std::string& to,
                   std::vector<unsigned char>* buffer) {
  File in = openExisting(from, O_RDONLY);
  if (!in.isOpen()) return false;
  File out(open(to.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!out.isOpen()) return false;
  if (copyData(in, out, buffer) && out.close()) return true;
  unlink(to.c_str());
  return false;
}

}  // namespace

// The new package is written as `temp`, which is also the lock: a merge
// holds an advisory lock on it from lock() to the end, and only the holder
// ever renames or removes the file of that name. `undo` exists only while a
// package is rewritten in place and holds the old bytes until that is done.
struct Replacement::State {
  explicit State(const std::string& package)
      : path(package),
        temp(package + ".tmp"),
        backup(package + ".bak"),
        backupTemp(package + ".bak.tmp"),
        undo(package + ".undo"),
        buffer(256 * 1024) {}

  // Puts back the package from `undo` and removes it.
  bool restore() {
    File from = openExisting(undo, O_RDONLY);
    File to = openExisting(path, O_WRONLY);
    if (!from.isOpen() || !to.isOpen() || !copyData(from, to, &buffer)) {
      return false;
    }
    unlink(undo.c_str());
    return syncDirectory(directoryOf(path)) == Synced::kYes;
  }
  bool makeBackup() {
    unlink(backupTemp.c_str());
    // A second name for the old file costs nothing, unless the file is
    // about to be rewritten in place, which would change the backup too.
    if ((inPlace || link(path.c_str(), backupTemp.c_str()) != 0) &&
        !copyToNewFile(path, backupTemp, &buffer)) {
      return false;
    }
    if (std::rename(backupTemp.c_str(), backup.c_str()) == 0) return true;
    unlink(backupTemp.c_str());
    return false;
  }
  // The old bytes under `undo`, on the disk, before the package is touched.
  bool makeUndo(bool backedUp) {
    if (backedUp && link(backup.c_str(), undo.c_str()) == 0) {
      return syncDirectory(directoryOf(path)) == Synced::kYes;
    }
    if (!copyToNewFile(path, backupTemp, &buffer)) return false;
    if (std::rename(backupTemp.c_str(), undo.c_str()) != 0) {
      unlink(backupTemp.c_str());
      return false;
    }
    return syncDirectory(directoryOf(path)) == Synced::kYes;
  }

  std::string path, temp, backup, backupTemp, undo;
  File file;            // the new package, open from lock() on
  bool locked = false;  // `temp` is ours: ours to remove
  bool oldExists = false;
  bool inPlace = false;
  bool permissionsKept = true;
  std::vector<unsigned char> buffer;
  std::uint64_t sinceWriteback = 0;
};

Replacement::Replacement(const std::string& path) : state_(new State(path)) {}

Replacement::~Replacement() { abandon(); }

bool Replacement::lock() {
  State& s = *state_;
  const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  // A few tries, for when another merge's clean-up moved the name on
  // between our open and our look.
  for (int attempt = 0; attempt < 3 && !s.locked; ++attempt) {
    bool created = true;
    File file(::open(s.temp.c_str(), flags | O_CREAT | O_EXCL, 0666));
    if (!file.isOpen()) {
      if (errno != EEXIST) return false;
      created = false;
      file = File(::open(s.temp.c_str(), flags));
      if (!file.isOpen()) {
        if (errno == ENOENT) continue;
        return false;
      }
    }
    if (flock(fdOf(file), LOCK_EX | LOCK_NB) != 0 && errno != ENOLCK &&
        errno != EINVAL && errno != EOPNOTSUPP) {
      // Another merge is running, or the lock cannot be had: either way
      // this one must not write. A file we made and could not lock is
      // nobody's; one that was there may be the running merge's.
      if (created && errno != EWOULDBLOCK) unlink(s.temp.c_str());
      return false;
    }
    // From here on the file of that name is ours, if it is the one we hold.
    struct stat mine;
    struct stat named;
    if (fstat(fdOf(file), &mine) != 0 || !S_ISREG(mine.st_mode)) {
      if (created) unlink(s.temp.c_str());
      return false;
    }
    if (lstat(s.temp.c_str(), &named) != 0 || !sameFile(mine, named)) continue;
    if (mine.st_nlink > 1) {
      // A second name for someone's file: not ours to empty.
      unlink(s.temp.c_str());
      continue;
    }
    // What is there is a killed merge's, or new and empty.
    if (!created && ftruncate(fdOf(file), 0) != 0) {
      unlink(s.temp.c_str());
      return false;
    }
    s.file = std::move(file);
    s.locked = true;
  }
  if (!s.locked) return false;
  unlink(s.backupTemp.c_str());
  struct stat undo;
  if (lstat(s.undo.c_str(), &undo) == 0) return s.restore();
  return errno == ENOENT;
}

bool Replacement::open() {
  State& s = *state_;
  if (!s.locked) return false;
  struct stat info;
  if (lstat(s.path.c_str(), &info) != 0) {
    // No package yet; anything else means we cannot tell what is there.
    return errno == ENOENT;
  }
  if (S_ISLNK(info.st_mode)) {
    s.inPlace = true;
    // A link that leads nowhere is no package to write through.
    if (stat(s.path.c_str(), &info) != 0) return false;
  }
  // Renaming over a package its user may not write would go around its
  // protection.
  if (!S_ISREG(info.st_mode) || access(s.path.c_str(), W_OK) != 0) {
    return false;
  }
  s.oldExists = true;
  if (info.st_nlink > 1) s.inPlace = true;
  if (s.inPlace) return true;
  // The new file must be what the old one was to its users; where it
  // cannot be, the old file keeps its place and takes the new bytes.
  struct stat mine;
  if (fstat(fdOf(s.file), &mine) != 0) return false;
  if ((mine.st_uid != info.st_uid || mine.st_gid != info.st_gid) &&
      fchown(fdOf(s.file), info.st_uid, info.st_gid) != 0) {
    if (errno == EPERM) {
      s.inPlace = true;
      return true;
    }
    s.permissionsKept = false;
  }
  if (fchmod(fdOf(s.file), info.st_mode & 07777) != 0) {
    s.permissionsKept = false;
  }
  return true;
}

bool Replacement::write(const unsigned char* data, std::size_t size) {
  State& s = *state_;
  if (!s.file.isOpen() || !writeFile(s.file, data, size)) return false;
  s.sinceWriteback += size;
#if defined(__linux__)
  // Every 8 MiB the disk is asked to start on what it was handed, so the
  // sync at the end finds little left to wait for. Only a hint.
  if (s.sinceWriteback >= 8 * 1024 * 1024) {
    sync_file_range(fdOf(s.file), 0, 0, SYNC_FILE_RANGE_WRITE);
    s.sinceWriteback = 0;
  }
#endif
  return true;
}

bool Replacement::writeAt(std::uint64_t offset, const unsigned char* data,
                          std::size_t size) {
  State& s = *state_;
  return s.file.isOpen() &&
         pwrite(fdOf(s.file), data, size, static_cast<off_t>(offset)) ==
             static_cast<ssize_t>(size);
}

bool Replacement::readOld(unsigned char* data, std::size_t size,
                          std::size_t* got) {
  File old = openExisting(state_->path, O_RDONLY);
  return old.isOpen() && readSome(old, data, size, got);
}

Replacement::Commit Replacement::commit(bool replaceBackup) {
  State& s = *state_;
  if (!s.file.isOpen() || fsync(fdOf(s.file)) != 0 || !s.permissionsKept) {
    return Commit::kFailed;
  }
  struct stat info;
  const bool backupMissing =
      lstat(s.backup.c_str(), &info) != 0 && errno == ENOENT;
  const bool backedUp =
      s.oldExists && (replaceBackup || backupMissing) && s.makeBackup();
  if (s.oldExists && (replaceBackup || backupMissing) && !backedUp) {
    return Commit::kFailed;
  }

  if (!s.inPlace) {
    if (std::rename(s.temp.c_str(), s.path.c_str()) != 0) {
      return Commit::kFailed;
    }
    s.locked = false;  // the name is the package's now
  } else {
    if (!s.makeUndo(backedUp)) {
      unlink(s.undo.c_str());
      return Commit::kFailed;
    }
    File target = openExisting(s.path, O_WRONLY);
    if (!target.isOpen() || !copyData(s.file, target, &s.buffer)) {
      // The old bytes go back where they were; should even that fail, the
      // next merge tries again from `undo`.
      target.close();
      s.restore();
      return Commit::kFailed;
    }
    // The next merge would take an undo file left now for a killed one and
    // put the old package back; so this one is not done until it is gone.
    if (unlink(s.undo.c_str()) != 0) {
      s.restore();
      return Commit::kFailed;
    }
    // Removed while the lock is still held, so it can only be ours.
    unlink(s.temp.c_str());
    s.locked = false;
  }
  s.file.close();
  return syncDirectory(directoryOf(s.path)) == Synced::kYes ? Commit::kDone
                                                            : Commit::kUnsynced;
}

void Replacement::abandon() {
  State& s = *state_;
  if (s.locked) unlink(s.temp.c_str());
  s.locked = false;
  s.file.close();
}

}  // namespace platform
