#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace win32 {

namespace {

// MAX_PATH less room for an 8.3 name: the most CreateDirectory takes without
// the \\?\ form, and the limit Go's os and Rust's std keep to as well.
constexpr std::size_t kLegacyPathLimit = 248;

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// \\?\ (or the NT spelling \??\): the system passes the rest on as it is.
bool isVerbatim(const std::wstring& path) {
  return path.size() >= 4 && path[0] == L'\\' &&
         (path[1] == L'\\' || path[1] == L'?') && path[2] == L'?' &&
         path[3] == L'\\';
}

// Absolute without the current directory or drive: C:\... or \\server\...
bool isAbsolute(const std::wstring& path) {
  if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
    return true;
  }
  return path.size() >= 3 && path[1] == L':' && isSeparator(path[2]);
}

std::wstring toWide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], size);
  wide.resize(static_cast<std::size_t>(size - 1));  // the terminator
  return wide;
}

// What the system itself makes of a path before it opens it: absolute,
// separators made backslashes, "." and ".." resolved. Empty when it cannot
// tell.
std::wstring fullPath(const std::wstring& path) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  while (size > 0) {
    std::wstring full(size, L'\0');
    const DWORD length =
        GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length < size) {
      full.resize(length);
      return full;
    }
    size = length;  // the current directory changed in between
  }
  return std::wstring();
}

// A W path made absolute with backslashes, as the system would; one in the
// \\?\ form as it is.
std::wstring absolutePath(const std::wstring& path) {
  if (isVerbatim(path)) return path;
  const std::wstring full = fullPath(path);
  return full.empty() ? path : full;
}

bool convertName(const wchar_t* name, unsigned codePage, std::string* text) {
  const NameConversion how = nameConversion(codePage);
  const int size = WideCharToMultiByte(codePage, how.flags, name, -1, nullptr,
                                       0, how.defaultChar, nullptr);
  if (size <= 0) return false;
  text->assign(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(codePage, how.flags, name, -1, &(*text)[0], size,
                          how.defaultChar, nullptr) != size) {
    return false;
  }
  text->resize(static_cast<std::size_t>(size - 1));
  return true;
}

bool isHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::wstring systemPath(const std::string& path) {
  std::wstring wide = toWide(path);
  if (isVerbatim(wide)) {
    // Our joins put "/" into it, and a trailing backslash of the user's
    // before that "/" would make an empty name: each run of separators is
    // one backslash here.
    std::wstring verbatim = wide.substr(0, 4);
    for (std::size_t i = 4; i < wide.size(); ++i) {
      if (!isSeparator(wide[i])) {
        verbatim += wide[i];
      } else if (verbatim.back() != L'\\') {
        verbatim += L'\\';
      }
    }
    return verbatim;
  }
  if (wide.size() < kLegacyPathLimit && isAbsolute(wide)) return wide;
  const std::wstring full = fullPath(wide);
  if (full.size() < kLegacyPathLimit) return wide;
  if (full.size() >= 4 && full[0] == L'\\' && full[1] == L'\\' &&
      (full[2] == L'?' || full[2] == L'.') && full[3] == L'\\') {
    return full;  // a device, such as \\.\COM1: no other form names it
  }
  if (full[0] == L'\\' && full[1] == L'\\') {
    return L"\\\\?\\UNC" + full.substr(1);  // \\server\share\...
  }
  return L"\\\\?\\" + full;
}

NameConversion nameConversion(unsigned codePage) {
  if (codePage == CP_UTF8) return {WC_ERR_INVALID_CHARS, nullptr};
  // No best fit: a fullwidth dot or solidus must not come back as '.' or '/'.
  return {WC_NO_BEST_FIT_CHARS, "?"};
}

std::string spellName(const wchar_t* name, unsigned codePage) {
  // The directory's own entries, whatever the conversion makes of names.
  if (std::wcscmp(name, L".") == 0) return ".";
  if (std::wcscmp(name, L"..") == 0) return "..";
  std::string text;
  if (convertName(name, codePage, &text)) return text;
  // UTF-8 spells every character but half a surrogate pair, and has no
  // default character to put in its place.
  std::wstring exact(name);
  for (std::size_t i = 0; i < exact.size(); ++i) {
    if (isHighSurrogate(exact[i]) && i + 1 < exact.size() &&
        isLowSurrogate(exact[i + 1])) {
      ++i;
    } else if (isHighSurrogate(exact[i]) || isLowSurrogate(exact[i])) {
      exact[i] = L'?';
    }
  }
  if (convertName(exact.c_str(), codePage, &text)) return text;
  return "?";
}

}  // namespace win32

namespace {

using win32::systemPath;

HANDLE handleOf(const File& file) {
  return reinterpret_cast<HANDLE>(file.handle());
}
File fileOf(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE
             ? File()
             : File(reinterpret_cast<FileHandle>(handle));
}

// Only a file on a disk that is not a directory: CreateFile opens devices
// such as NUL or CON too.
bool regularFile(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileType(handle) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(handle, info) != 0 &&
         (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::uint64_t sizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
         info.nFileSizeLow;
}

// Zero, or FILE_INVALID_FILE_ID in either width: the system has no id for
// the file.
bool isNoId(const FileId& id) {
  const std::uint64_t ones = ~std::uint64_t{0};
  return id.high == 0 ? id.index == 0 || id.index == ones
                      : id.high == ones && id.index == ones;
}

// The 128-bit id first: ReFS gives the same 64-bit index to different files.
// Older systems and some file systems know only the index. An id of all
// zeros or all ones is unknown, never equal to another.
bool identifyHandle(HANDLE handle, FileId* id) {
  FILE_ID_INFO info;
  FileId found;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
    static_assert(sizeof info.FileId.Identifier == 16, "a 128-bit id");
    std::memcpy(&found.index, info.FileId.Identifier, 8);
    std::memcpy(&found.high, info.FileId.Identifier + 8, 8);
    found.volume = info.VolumeSerialNumber;
  } else {
    BY_HANDLE_FILE_INFORMATION old;
    if (GetFileInformationByHandle(handle, &old) == 0) return false;
    found.volume = old.dwVolumeSerialNumber;
    found.index = (static_cast<std::uint64_t>(old.nFileIndexHigh) << 32) |
                  old.nFileIndexLow;
  }
  if (isNoId(found)) return false;
  *id = found;
  return true;
}

bool isDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Known not to be there; a path whose state cannot be learned is not gone.
bool isGone(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
         isMissing(GetLastError());
}

// Another program may hold a file for a moment: a game reading the package,
// a virus scanner or an indexer opening the file just written. What it
// refuses meanwhile is tried again with a growing pause, about two seconds
// in all, as SQLite's winRetryIoerr does; then the refusal stands.
constexpr int kRetries = 12;
constexpr DWORD kRetryPause = 25;  // milliseconds, times the attempt

bool isHeldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION ||
         // ReplaceFile's own word for a package it could not move away.
         error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

template <typename Call>
bool retried(Call call) {
  for (int attempt = 1;; ++attempt) {
    if (call()) return true;
    const DWORD error = GetLastError();
    if (attempt > kRetries || !isHeldByAnother(error)) {
      SetLastError(error);
      return false;
    }
    Sleep(kRetryPause * static_cast<DWORD>(attempt));
  }
}

File openRetried(const std::wstring& path, DWORD access, DWORD share,
                 DWORD disposition, DWORD flags) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  retried([&] {
    handle = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                         flags, nullptr);
    return handle != INVALID_HANDLE_VALUE;
  });
  return fileOf(handle);
}

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool seekTo(const File& file, std::uint64_t offset, DWORD from) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handleOf(file), at, nullptr, from) != 0;
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

// Where standard output goes, and whether that is a console, asked again
// only when the handle changes.
bool isConsole(HANDLE out) {
  static HANDLE known = INVALID_HANDLE_VALUE;
  static bool console = false;
  if (out != known) {
    DWORD mode = 0;
    known = out;
    console = GetConsoleMode(out, &mode) != 0;
  }
  return console;
}

}  // namespace

bool File::close() {
  if (handle_ == kNoFile) return true;
  return CloseHandle(reinterpret_cast<HANDLE>(release())) != 0;
}

bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names) {
  // Asked for in UTF-16, so every name arrives whole and is then spelt in
  // the ANSI code page without guesses; the A calls would guess.
  const std::wstring widePattern = systemPath(pattern);
  WIN32_FIND_DATAW findFileData;
  HANDLE find = FindFirstFileW(widePattern.c_str(), &findFileData);
  if (find == INVALID_HANDLE_VALUE) {
    // The root of a drive has no "." or "..", so an empty one has nothing
    // at all to give; any other directory says "path not found" when it
    // is missing.
    return GetLastError() == ERROR_FILE_NOT_FOUND && !widePattern.empty() &&
           widePattern.back() == L'*' &&
           isDirectory(widePattern.substr(0, widePattern.size() - 1));
  }
  const UINT codePage = GetACP();
  const std::size_t start = names->size();
  do {
    std::string name = win32::spellName(findFileData.cFileName, codePage);
    if (keep(name)) names->push_back(std::move(name));
  } while (FindNextFileW(find, &findFileData));
  // The loop also ends when reading the directory fails part-way through;
  // only "no more files" means every name was seen.
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  if (!complete) names->resize(start);
  return complete;
}

bool identify(const File& file, FileId* id) {
  return file.isOpen() && identifyHandle(handleOf(file), id);
}

bool identifyPath(const std::string& path, FileId* id) {
  // Attributes only: enough to identify, and no holder's sharing refuses
  // it. Backup semantics open a directory too.
  const File file = fileOf(
      CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return identify(file, id);
}

Opened openForWriting(const std::string& path, File* file, FileId* id) {
  const std::wstring widePath = systemPath(path);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
  File created =
      fileOf(CreateFileW(widePath.c_str(), GENERIC_WRITE, share, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (created.isOpen()) {
    *file = std::move(created);
    return Opened::kCreated;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
    return Opened::kFailed;
  }
  if (isDirectory(widePath)) return Opened::kNotRegular;
  File existing =
      fileOf(CreateFileW(widePath.c_str(), GENERIC_WRITE, share, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!existing.isOpen()) return Opened::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  if (!regularFile(handleOf(existing), &info)) return Opened::kNotRegular;
  // A file we cannot tell from the package or an earlier entry is not
  // written over.
  if (!identify(existing, id)) return Opened::kFailed;
  *file = std::move(existing);
  return Opened::kExisting;
}

bool truncateFile(const File& file) {
  return seekTo(file, 0, FILE_BEGIN) && SetEndOfFile(handleOf(file)) != 0;
}

bool writeFile(const File& file, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const DWORD part =
        size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD done = 0;
    if (WriteFile(handleOf(file), data, part, &done, nullptr) == 0 ||
        done == 0) {
      return false;
    }
    data += done;
    size -= done;
  }
  return true;
}

File openForReading(const std::string& path, std::uint64_t* size) {
  // Shared every way, so an editor's save by rename is not refused while a
  // merge reads the file.
  File file = fileOf(CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                                 kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.isOpen() || !regularFile(handleOf(file), &info)) return File();
  *size = sizeOf(info);
  return file;
}

bool readSome(const File& file, unsigned char* data, std::size_t size,
              std::size_t* got) {
  *got = 0;
  while (*got < size) {
    const std::size_t left = size - *got;
    const DWORD part =
        left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD done = 0;
    if (ReadFile(handleOf(file), data + *got, part, &done, nullptr) == 0) {
      return false;
    }
    if (done == 0) break;
    *got += done;
  }
  return true;
}

bool readExactly(const File& file, unsigned char* data, std::size_t size) {
  std::size_t got = 0;
  return readSome(file, data, size, &got) && got == size;
}

bool removeFile(const std::string& path) {
  return DeleteFileW(systemPath(path).c_str()) != 0;
}

void writeOutput(const std::string& text) {
  const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  if (out != INVALID_HANDLE_VALUE && out != nullptr && isConsole(out)) {
    // The console would show the ANSI bytes in its own code page, the OEM
    // one, where a u with diaeresis reads as a superscript 3. UTF-16 it
    // shows as the user's characters, whatever its code page.
    const std::wstring wide = win32::toWide(text);
    std::fflush(stdout);
    std::size_t done = 0;
    while (done < wide.size()) {
      const std::size_t left = wide.size() - done;
      DWORD written = 0;
      if (WriteConsoleW(out, wide.data() + done,
                        static_cast<DWORD>(left < 8192 ? left : 8192), &written,
                        nullptr) == 0 ||
          written == 0) {
        break;
      }
      done += written;
    }
    // Once some of it is shown, the bytes would show that part twice.
    if (done > 0) return;
  }
  // Text mode: every line ends in "\r\n".
  std::fwrite(text.data(), 1, text.size(), stdout);
}

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

bool Replacement::existed() const { return state_->oldExists; }

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

void waitForKey(std::FILE* in) {
  const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in)));
  DWORD mode;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
    std::fgetc(in);
    return;
  }
  // The console's own events: a key goes down without waiting for Enter. The
  // release of the Enter that started the tool is no key press, and Shift,
  // Ctrl or Alt alone (Alt+Tab to the editor) is not meant as one.
  INPUT_RECORD record;
  DWORD count;
  while (ReadConsoleInputW(console, &record, 1, &count) && count == 1) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
      continue;
    }
    switch (record.Event.KeyEvent.wVirtualKeyCode) {
      case VK_SHIFT:
      case VK_CONTROL:
      case VK_MENU:
      case VK_LWIN:
      case VK_RWIN:
      case VK_CAPITAL:
      case VK_NUMLOCK:
      case VK_SCROLL:
        continue;
      default:
        return;
    }
  }
}

}  // namespace platform
