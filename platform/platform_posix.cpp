#include <dirent.h>
#include <fcntl.h>
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

unsigned char foldAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

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
    unsigned char a = foldAscii(l[i]);
    unsigned char b = foldAscii(r[i]);
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

int toFd(FileHandle file) { return static_cast<int>(file); }

// The directory part of `path`, for syncing the entry a rename changed.
std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Copies `from` to a new file `to`, for file systems that take no hard link.
bool copyWhole(const std::string& from, const std::string& to) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  if (in == nullptr) return false;
  std::FILE* out = createNewFile(to);
  bool ok = out != nullptr;
  std::vector<char> block(ok ? 1024 * 1024 : 0);
  while (ok) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), in);
    if (got == 0) break;
    ok = std::fwrite(block.data(), 1, got, out) == got;
  }
  ok = ok && std::ferror(in) == 0;
  std::fclose(in);
  if (out != nullptr && std::fclose(out) != 0) ok = false;
  if (!ok && out != nullptr) unlink(to.c_str());
  return ok;
}

}  // namespace

bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names) {
  // "work/*" searches "work/"; an empty work path gives "/*", the root, as it
  // does on Windows.
  std::string directory = pattern;
  if (!directory.empty() && directory.back() == '*') directory.pop_back();
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

bool identifyStream(std::FILE* file, FileId* id) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return false;
  *id = idOf(info);
  return true;
}

bool identifyPath(const std::string& path, FileId* id) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *id = idOf(info);
  return true;
}

Opened openForWriting(const std::string& path, FileHandle* file, FileId* id) {
  // A fresh extraction only ever takes this path: one call, no look-up.
  int fd = open(path.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    *file = fd;
    return Opened::kCreated;
  }
  if (errno != EEXIST) return Opened::kFailed;
  // Something is there already. Only a regular file is opened at all; the
  // non-blocking open keeps a FIFO swapped in after the look-up from
  // holding us, and the second look-up on the open file settles it.
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return Opened::kFailed;
  if (!S_ISREG(info.st_mode)) return Opened::kNotRegular;
  fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Opened::kFailed;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return Opened::kNotRegular;
  }
  *file = fd;
  *id = idOf(info);
  return Opened::kExisting;
}

bool truncateFile(FileHandle file) { return ftruncate(toFd(file), 0) == 0; }

bool writeFile(FileHandle file, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t done = write(toFd(file), data, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

FileHandle openForReading(const std::string& path, std::uint64_t* size) {
  // Non-blocking, so opening a FIFO returns at once; it is then refused as
  // no regular file.
  const int fd =
      open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return kNoFile;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return kNoFile;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  return fd;
}

std::size_t readFile(FileHandle file, unsigned char* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t done = read(toFd(file), data + got, size - got);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) break;
    got += static_cast<std::size_t>(done);
  }
  return got;
}

bool closeFile(FileHandle file) { return close(toFd(file)) == 0; }

void reserveSpace(FileHandle file, std::uint64_t size) {
#if defined(__linux__)
  // Keep the size as it is: a run cut short leaves a file as short as what
  // it got, not one padded with zeros to look whole. posix_fallocate is no
  // use here: where the file system cannot reserve, it writes zeros.
  if (size > 0 && size <= static_cast<std::uint64_t>(INT64_MAX)) {
    fallocate(toFd(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
  }
#else
  (void)file;
  (void)size;
#endif
}

bool fileSize(std::FILE* file, std::uint64_t* size) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

Target probeTarget(const std::string& path) {
  if (access(path.c_str(), F_OK) != 0) return Target::kMissing;
  return access(path.c_str(), W_OK) == 0 ? Target::kWritable
                                         : Target::kReadOnly;
}

std::FILE* createNewFile(const std::string& path) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    unlink(path.c_str());
  }
  return file;
}

void copyPermissions(std::FILE* file, const std::string& model) {
  struct stat info;
  if (stat(model.c_str(), &info) == 0) {
    fchmod(fileno(file), info.st_mode & 07777);
  }
}

bool syncFile(std::FILE* file) {
  return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

void startWriteback(std::FILE* file) {
#if defined(__linux__)
  // Only a hint: should it fail, the final sync does all the work.
  sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

bool replaceFile(const std::string& from, const std::string& to,
                 const std::string& backup) {
  // The old file gets a second name first and takes the backup's place only
  // once the new one stands at `to`, so a failure on the way leaves both
  // names as they were.
  const std::string hold = backup + ".tmp";
  struct stat info;
  const bool hadOld = stat(to.c_str(), &info) == 0;
  if (hadOld) {
    unlink(hold.c_str());
    if (link(to.c_str(), hold.c_str()) != 0 && !copyWhole(to, hold)) {
      unlink(hold.c_str());
      return false;
    }
  }
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    if (hadOld) unlink(hold.c_str());
    return false;
  }
  if (hadOld && std::rename(hold.c_str(), backup.c_str()) != 0) {
    // Put the old file back rather than leave a package without its backup.
    std::rename(hold.c_str(), to.c_str());
    return false;
  }
  // The renames are only safe from a power cut once the directory that
  // holds them is on the disk. Some file systems cannot sync a directory;
  // the package is replaced either way.
  const int dir = open(directoryOf(to).c_str(), O_RDONLY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
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
