#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

// The order NTFS keeps a directory in, for the bytes of narrow names: compare
// upper-cased, and let names that only differ in case fall back to their
// plain bytes so the order is total and does not depend on readdir.
bool ntfsNameLess(const std::string& left, const std::string& right) {
  const unsigned char* l = reinterpret_cast<const unsigned char*>(left.data());
  const unsigned char* r = reinterpret_cast<const unsigned char*>(right.data());
  std::size_t common = std::min(left.size(), right.size());
  int plainOrder = 0;  // the first plain difference, for names equal folded
  for (std::size_t i = 0; i < common; ++i) {
    // Names in one directory mostly share long prefixes: equal bytes are
    // equal folded too, so only a difference needs folding.
    if (l[i] == r[i]) continue;
    const unsigned char a =
        static_cast<unsigned char>(upperAscii(static_cast<char>(l[i])));
    const unsigned char b =
        static_cast<unsigned char>(upperAscii(static_cast<char>(r[i])));
    if (a != b) return a < b;
    if (plainOrder == 0) plainOrder = l[i] < r[i] ? -1 : 1;
  }
  if (left.size() != right.size()) return left.size() < right.size();
  return plainOrder < 0;
}

FileId idOf(const struct stat& info) {
  FileId id;
  id.volume = static_cast<std::uint64_t>(info.st_dev);
  id.index = static_cast<std::uint64_t>(info.st_ino);
  return id;
}

int fdOf(const File& file) { return static_cast<int>(file.handle()); }

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

File openExisting(const std::string& path, int flags) {
  return File(open(path.c_str(), flags | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
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

bool File::close() {
  if (handle_ == kNoFile) return true;
  return ::close(static_cast<int>(release())) == 0;
}

bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names) {
  // "work/*" searches "work/"; an empty work path gives "/*", the root, as it
  // does on Windows.
  std::string directory = pattern;
  directory.pop_back();
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;

  // The names go straight into the caller's list and are sorted there, so
  // a large directory's names are held once.
  const std::size_t start = names->size();
  bool readAll = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      // A read error would leave entries out of the package without a word.
      readAll = errno == 0;
      break;
    }
    std::string name = entry->d_name;
    if (keep(name)) names->push_back(std::move(name));
  }
  closedir(dir);
  if (!readAll) {
    names->resize(start);
    return false;
  }
  std::sort(names->begin() + static_cast<std::ptrdiff_t>(start), names->end(),
            ntfsNameLess);
  return true;
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
  // holding us, and the second look-up on the open file settles it.
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return Opened::kFailed;
  if (!S_ISREG(info.st_mode)) return Opened::kNotRegular;
  File existing = openExisting(path, O_WRONLY);
  if (!existing.isOpen()) return Opened::kFailed;
  if (fstat(fdOf(existing), &info) != 0 || !S_ISREG(info.st_mode)) {
    return Opened::kNotRegular;
  }
  *file = std::move(existing);
  *id = idOf(info);
  return Opened::kExisting;
}

bool truncateFile(const File& file) { return ftruncate(fdOf(file), 0) == 0; }

bool writeFile(const File& file, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t done = write(fdOf(file), data, size);
    if (done <= 0) return false;
    data += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

File openForReading(const std::string& path, std::uint64_t* size) {
  // Non-blocking, so opening a FIFO returns at once; it is then refused as
  // no regular file.
  File file = openExisting(path, O_RDONLY);
  struct stat info;
  if (!file.isOpen() || fstat(fdOf(file), &info) != 0 ||
      !S_ISREG(info.st_mode)) {
    return File();
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  return file;
}

bool readSome(const File& file, unsigned char* data, std::size_t size,
              std::size_t* got) {
  *got = 0;
  while (*got < size) {
    const ssize_t done = read(fdOf(file), data + *got, size - *got);
    if (done < 0) return false;
    if (done == 0) break;
    *got += static_cast<std::size_t>(done);
  }
  return true;
}

bool readExactly(const File& file, unsigned char* data, std::size_t size) {
  std::size_t got = 0;
  return readSome(file, data, size, &got) && got == size;
}

bool removeFile(const std::string& path) { return unlink(path.c_str()) == 0; }

void writeOutput(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

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

namespace {

// The terminal as the user had it, and as the wait sets it, for the signal
// handler.
int keyTerminal = -1;
struct termios keyTerminalSaved;
struct termios keyTerminalRaw;

// The signals that end or stop the process while it waits: each one puts the
// terminal back first, so a Ctrl+C at the prompt does not leave the shell
// without echo. SIGCONT sets the wait's mode again after a stop.
constexpr int kKeySignals[] = {SIGINT,  SIGTERM, SIGHUP,
                               SIGQUIT, SIGTSTP, SIGCONT};
constexpr std::size_t kKeySignalCount =
    sizeof kKeySignals / sizeof kKeySignals[0];

// False only for a process in the background of the terminal that controls
// it, where the terminal's mode is the shell's to set.
bool inFront(int terminal) {
  const pid_t front = tcgetpgrp(terminal);
  return front == -1 || front == getpgrp();
}

void onKeySignal(int number) {
  const int savedErrno = errno;
  if (number != SIGCONT) {
    tcsetattr(keyTerminal, TCSANOW, &keyTerminalSaved);
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    struct sigaction ours;
    sigaction(number, &byDefault, &ours);
    // Taken as soon as it is unblocked: the process ends or stops by the
    // signal it was sent, as it would have without this handler.
    raise(number);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, number);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    // Only a stop comes back here: continued, or dropped by the system for
    // a process no shell could continue.
    sigaction(number, &ours, nullptr);
  }
  // Waiting in front again: a key without Enter.
  if (inFront(keyTerminal)) tcsetattr(keyTerminal, TCSANOW, &keyTerminalRaw);
  errno = savedErrno;
}

}  // namespace

void waitForKey(std::FILE* in) {
  const int fd = fileno(in);
  // In the background the read is as before: the system stops the process
  // until it is in front.
  if (!isatty(fd) || !inFront(fd) || tcgetattr(fd, &keyTerminalSaved) != 0) {
    std::fgetc(in);
    return;
  }
  keyTerminalRaw = keyTerminalSaved;
  keyTerminalRaw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keyTerminalRaw.c_cc[VMIN] = 1;
  keyTerminalRaw.c_cc[VTIME] = 0;
  keyTerminal = fd;
  // No SA_RESTART: the read is interrupted by a stop and started again here.
  struct sigaction handler = {};
  handler.sa_handler = onKeySignal;
  sigfillset(&handler.sa_mask);
  struct sigaction before[kKeySignalCount];
  for (std::size_t i = 0; i < kKeySignalCount; ++i) {
    // A signal ignored before (nohup) stays ignored.
    sigaction(kKeySignals[i], nullptr, &before[i]);
    if (before[i].sa_handler != SIG_IGN) {
      sigaction(kKeySignals[i], &handler, nullptr);
    }
  }
  // Should the terminal refuse the mode, Enter still ends the wait.
  tcsetattr(fd, TCSANOW, &keyTerminalRaw);
  int key;
  do {
    clearerr(in);
    errno = 0;
    key = std::fgetc(in);
  } while (key == EOF && ferror(in) && errno == EINTR);
  // A signal now would find the terminal put back already, or be handled
  // the way it was before the wait, never between the two.
  sigset_t handled;
  sigemptyset(&handled);
  for (int number : kKeySignals) sigaddset(&handled, number);
  sigset_t mask;
  sigprocmask(SIG_BLOCK, &handled, &mask);
  // Flushed: the rest of what one key sends (an arrow key's escape
  // sequence) must not reach the shell as typed text.
  tcsetattr(fd, TCSAFLUSH, &keyTerminalSaved);
  for (std::size_t i = 0; i < kKeySignalCount; ++i) {
    sigaction(kKeySignals[i], &before[i], nullptr);
  }
  keyTerminal = -1;
  sigprocmask(SIG_SETMASK, &mask, nullptr);
}

}  // namespace platform
