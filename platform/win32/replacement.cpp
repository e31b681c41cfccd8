#include "platform/replacement.h"

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/win32/handle.h"
#include "platform/win32_path.h"

namespace platform {

using win32::fileOf;
using win32::handleOf;
using win32::isHeldByAnother;
using win32::isMissing;
using win32::kShareAll;
using win32::openRetried;
using win32::regularFile;
using win32::retried;
using win32::seekTo;
using win32::systemPath;

namespace {

// Known not to be there; a path whose state cannot be learned is not gone.
bool isGone(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
         isMissing(GetLastError());
}

// Copies everything of `from` to `to` from their starts, cuts `to` to that
// length and puts it on the disk.
bool copyData(const File& from, const File& to,
              std::vector<unsigned char>* buffer) {
  if (!seekTo(from, 0, FILE_BEGIN) || !seekTo(to, 0, FILE_BEGIN)) {
    return false;
  }
  for (;;) {
    std::size_t got = 0;
    if (!readSome(from, buffer->data(), buffer->size(), &got)) return false;
    if (got == 0) break;
    if (!writeFile(to, buffer->data(), got)) return false;
  }
  return SetEndOfFile(handleOf(to)) != 0 && FlushFileBuffers(handleOf(to)) != 0;
}

File openToRead(const std::wstring& path) {
  return openRetried(path, GENERIC_READ, kShareAll, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN);
}

// Copies the file at `from` to a new file `to`, on the disk when it returns
// true; nothing is left at `to` otherwise.
bool copyToNewFile(const std::wstring& from, const std::wstring& to,
                   std::vector<unsigned char>* buffer) {
  File in = openToRead(from);
  if (!in.isOpen()) return false;
  File out =
      openRetried(to, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
  if (!out.isOpen()) return false;
  if (copyData(in, out, buffer) && out.close()) return true;
  out.close();
  DeleteFileW(to.c_str());
  return false;
}

bool moveFile(const std::wstring& from, const std::wstring& to, DWORD flags) {
  // Write-through: the call returns only once the move is on the disk.
  return retried([&] {
    return MoveFileExW(from.c_str(), to.c_str(),
                       flags | MOVEFILE_WRITE_THROUGH) != 0;
  });
}

// Whether `path` may be moved away now, as ReplaceFile moves the package:
// a program that holds it without sharing that refuses this too. Wine's
// ReplaceFile leaves a file of its own beside a package it could not move,
// so it is only asked once this succeeds.
bool mayMove(const std::wstring& path) {
  return fileOf(CreateFileW(path.c_str(), GENERIC_READ | DELETE, kShareAll,
                            nullptr, OPEN_EXISTING, 0, nullptr))
      .isOpen();
}

}  // namespace

// The lock is a file of its own, open without sharing for as long as a
// merge runs and deleted by the system when it is closed, however the
// process ends: a second merge cannot open it. The new package is written
// as `temp`; `undo` exists only while the package is rewritten in place and
// holds the old bytes until that is done.
struct Replacement::State {
  explicit State(const std::string& package)
      : path(systemPath(package)),
        temp(systemPath(package + ".tmp")),
        backup(systemPath(package + ".bak")),
        backupTemp(systemPath(package + ".bak.tmp")),
        undo(systemPath(package + ".undo")),
        lockName(systemPath(package + ".lock")),
        buffer(256 * 1024) {}

  // Copies `from` into the package itself, through any link, and cuts it
  // to that length. `disposition` says whether a package that is gone is
  // made anew.
  bool copyIntoPackage(const std::wstring& from, DWORD disposition) {
    File source = openToRead(from);
    if (!source.isOpen()) return false;
    File target =
        openRetried(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                    disposition, FILE_ATTRIBUTE_NORMAL);
    return target.isOpen() && copyData(source, target, &buffer) &&
           target.close();
  }
  // Puts back the package from `undo` and removes it. With no package to
  // put it into, `undo` stays for a later merge.
  bool restore() {
    return copyIntoPackage(undo, OPEN_EXISTING) &&
           DeleteFileW(undo.c_str()) != 0;
  }
  bool makeBackup() {
    DeleteFileW(backupTemp.c_str());
    if (!copyToNewFile(path, backupTemp, &buffer)) return false;
    if (moveFile(backupTemp, backup, MOVEFILE_REPLACE_EXISTING)) return true;
    DeleteFileW(backupTemp.c_str());
    return false;
  }
  // The old bytes under `undo`, on the disk, before the package is touched.
  bool makeUndo() {
    DeleteFileW(backupTemp.c_str());
    if (!copyToNewFile(path, backupTemp, &buffer)) return false;
    if (moveFile(backupTemp, undo, 0)) return true;
    DeleteFileW(backupTemp.c_str());
    return false;
  }
  Commit replaceByRename();
  Commit rewriteInPlace();

  std::wstring path, temp, backup, backupTemp, undo, lockName;
  File lock;  // held from lock() to the end
  File file;  // the new package, from open() on
  bool oldExists = false;
  bool inPlace = false;
  bool backedUp = false;
  std::vector<unsigned char> buffer;
};

Replacement::Replacement(const std::string& path) : state_(new State(path)) {}

Replacement::~Replacement() { abandon(); }

bool Replacement::lock() {
  State& s = *state_;
  if (s.lock.isOpen()) return true;
  // No retry: a sharing violation is the running merge, not a passer-by.
  s.lock = fileOf(CreateFileW(
      s.lockName.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!s.lock.isOpen()) return false;
  // What a killed merge left, now that no merge can be running.
  for (const std::wstring* left : {&s.temp, &s.backupTemp}) {
    if (!retried([&] { return DeleteFileW(left->c_str()) != 0; }) &&
        !isMissing(GetLastError())) {
      s.lock.close();
      return false;
    }
  }
  // A merge was killed while it rewrote the package in place.
  if (GetFileAttributesW(s.undo.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (!s.restore()) {
      s.lock.close();
      return false;
    }
  } else if (!isMissing(GetLastError())) {
    s.lock.close();
    return false;
  }
  return true;
}

bool Replacement::open() {
  State& s = *state_;
  if (!s.lock.isOpen() || s.file.isOpen()) return false;
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (GetFileAttributesExW(s.path.c_str(), GetFileExInfoStandard,
                           &attributes) == 0) {
    // No package yet; anything else means we cannot tell what is there.
    if (!isMissing(GetLastError())) return false;
  } else {
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return false;
    }
    // A symbolic link (or any other reparse point) keeps its place: the
    // new bytes go through it into the file it leads to.
    s.inPlace =
        (attributes.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    // Attributes only: no holder's sharing refuses it. Through any link.
    const File package =
        fileOf(CreateFileW(s.path.c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                           nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!package.isOpen() || !regularFile(handleOf(package), &info)) {
      return false;
    }
    // Replacing a read-only package would go around its protection.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
    // Other hard links keep the old bytes after a rename.
    if (info.nNumberOfLinks > 1) s.inPlace = true;
    s.oldExists = true;
  }
  s.file = openRetried(s.temp, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
  return s.file.isOpen();
}

bool Replacement::write(const unsigned char* data, std::size_t size) {
  const State& s = *state_;
  return s.file.isOpen() && writeFile(s.file, data, size);
}

bool Replacement::writeAt(std::uint64_t offset, const unsigned char* data,
                          std::size_t size) {
  State& s = *state_;
  // Writes go on at the end afterwards.
  return s.file.isOpen() && seekTo(s.file, offset, FILE_BEGIN) &&
         writeFile(s.file, data, size) && seekTo(s.file, 0, FILE_END);
}

bool Replacement::readOld(unsigned char* data, std::size_t size,
                          std::size_t* got) {
  const File old = openToRead(state_->path);
  return old.isOpen() && readSome(old, data, size, got);
}

Replacement::Commit Replacement::State::replaceByRename() {
  if (!oldExists) {
    return moveFile(temp, path, 0) ? Commit::kDone : Commit::kFailed;
  }
  // Without a backup of this package (it held no entries, and the backup
  // holds the last one that did), a copy stands by until the rename is done.
  if (!backedUp && !makeUndo()) return Commit::kFailed;
  // ReplaceFile gives the new file the old one's attributes and ACLs. No
  // backup name: the backup is made already. ACLs that cannot be merged
  // (a network share) are no reason to keep the old package. Wine's takes
  // only absolute paths with backslashes.
  const std::wstring replaced = win32::absolutePath(path);
  const std::wstring replacement = win32::absolutePath(temp);
  bool done = retried([&] {
    return mayMove(path) && mayMove(temp) &&
           ReplaceFileW(replaced.c_str(), replacement.c_str(), nullptr,
                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
  });
  if (!done && !isHeldByAnother(GetLastError()) && !isGone(path)) {
    // Where ReplaceFile cannot work at all (wine, past the legacy limit), a
    // rename over the package keeps it whole all the same.
    done = moveFile(temp, path, MOVEFILE_REPLACE_EXISTING);
  }
  // Should ReplaceFile have got as far as moving the package away, the copy
  // goes back in its place; if even that fails, an undo file is left for
  // the next merge to put back.
  if (!done && isGone(path) &&
      !copyIntoPackage(backedUp ? backup : undo, CREATE_NEW)) {
    return Commit::kFailed;
  }
  if (!backedUp) DeleteFileW(undo.c_str());
  if (!done) return Commit::kFailed;
  // The rename itself reaches the disk with the file's own flush.
  const File package =
      openRetried(path, GENERIC_WRITE, kShareAll, OPEN_EXISTING, 0);
  return package.isOpen() && FlushFileBuffers(handleOf(package)) != 0
             ? Commit::kDone
             : Commit::kUnsynced;
}

Replacement::Commit Replacement::State::rewriteInPlace() {
  if (!makeUndo()) return Commit::kFailed;
  File source = openToRead(temp);
  File target = openRetried(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL);
  if (!source.isOpen() || !target.isOpen() ||
      !copyData(source, target, &buffer) || !target.close()) {
    // The old bytes go back where they were; should even that fail, the
    // next merge tries again from `undo`.
    target.close();
    restore();
    return Commit::kFailed;
  }
  // The next merge would take an undo file left now for a killed one and
  // put the old package back; so this one is not done until it is gone.
  if (DeleteFileW(undo.c_str()) == 0) {
    restore();
    return Commit::kFailed;
  }
  return Commit::kDone;
}

Replacement::Commit Replacement::commit(bool replaceBackup) {
  State& s = *state_;
  if (!s.file.isOpen() || FlushFileBuffers(handleOf(s.file)) == 0 ||
      !s.file.close()) {
    abandon();
    return Commit::kFailed;
  }
  // The backup first, by our own copy: ReplaceFile's backup would be the
  // package's own file, which a rewrite in place changes too.
  if (s.oldExists && (replaceBackup || isGone(s.backup))) {
    if (!s.makeBackup()) {
      abandon();
      return Commit::kFailed;
    }
    s.backedUp = true;
  }
  const Commit commit = s.inPlace ? s.rewriteInPlace() : s.replaceByRename();
  abandon();
  return commit;
}

void Replacement::abandon() {
  State& s = *state_;
  s.file.close();
  // Removed while the lock is still held, so it can only be ours.
  if (s.lock.isOpen()) DeleteFileW(s.temp.c_str());
  s.lock.close();
}

}  // namespace platform
