#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include "platform/platform_win32.h"

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

HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle fromHandle(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

// Only a file on a disk that is not a directory: fopen and CreateFile open
// devices such as NUL or CON too.
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
  return id.indexHigh == 0 ? id.index == 0 || id.index == ones
                           : id.indexHigh == ones && id.index == ones;
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
    std::memcpy(&found.indexHigh, info.FileId.Identifier + 8, 8);
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

HANDLE streamHandle(std::FILE* file) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

bool isDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

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

bool identifyStream(std::FILE* file, FileId* id) {
  const HANDLE handle = streamHandle(file);
  return handle != INVALID_HANDLE_VALUE && identifyHandle(handle, id);
}

bool identifyPath(const std::string& path, FileId* id) {
  // No access asked for: enough to identify, and it opens what others hold.
  HANDLE handle =
      CreateFileW(systemPath(path).c_str(), 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool ok = identifyHandle(handle, id);
  CloseHandle(handle);
  return ok;
}

Opened openForWriting(const std::string& path, FileHandle* file, FileId* id) {
  const std::wstring widePath = systemPath(path);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
  HANDLE handle = CreateFileW(widePath.c_str(), GENERIC_WRITE, share, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    *file = fromHandle(handle);
    return Opened::kCreated;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
    return Opened::kFailed;
  }
  if (isDirectory(widePath)) return Opened::kNotRegular;
  handle = CreateFileW(widePath.c_str(), GENERIC_WRITE, share, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Opened::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  if (!regularFile(handle, &info)) {
    CloseHandle(handle);
    return Opened::kNotRegular;
  }
  // A file we cannot tell from the package or an earlier entry is not
  // written over.
  if (!identifyHandle(handle, id)) {
    CloseHandle(handle);
    return Opened::kFailed;
  }
  *file = fromHandle(handle);
  return Opened::kExisting;
}

bool truncateFile(FileHandle file) {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  return SetFilePointerEx(toHandle(file), start, nullptr, FILE_BEGIN) != 0 &&
         SetEndOfFile(toHandle(file)) != 0;
}

bool writeFile(FileHandle file, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const DWORD part =
        size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD done = 0;
    if (WriteFile(toHandle(file), data, part, &done, nullptr) == 0 ||
        done == 0) {
      return false;
    }
    data += done;
    size -= done;
  }
  return true;
}

FileHandle openForReading(const std::string& path, std::uint64_t* size) {
  HANDLE handle =
      CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kNoFile;
  BY_HANDLE_FILE_INFORMATION info;
  if (!regularFile(handle, &info)) {
    CloseHandle(handle);
    return kNoFile;
  }
  *size = sizeOf(info);
  return fromHandle(handle);
}

std::size_t readFile(FileHandle file, unsigned char* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const std::size_t left = size - got;
    const DWORD part =
        left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD done = 0;
    if (ReadFile(toHandle(file), data + got, part, &done, nullptr) == 0 ||
        done == 0) {
      break;
    }
    got += done;
  }
  return got;
}

bool closeFile(FileHandle file) { return CloseHandle(toHandle(file)) != 0; }

void reserveSpace(FileHandle /*file*/, std::uint64_t /*size*/) {}

bool fileSize(std::FILE* file, std::uint64_t* size) {
  const HANDLE handle = streamHandle(file);
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !regularFile(handle, &info)) {
    return false;
  }
  *size = sizeOf(info);
  return true;
}

Target probeTarget(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Target::kMissing;
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? Target::kReadOnly
                                                     : Target::kWritable;
}

std::FILE* createNewFile(const std::string& path) {
  const std::wstring widePath = systemPath(path);
  HANDLE handle =
      CreateFileW(widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd =
      _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    DeleteFileW(widePath.c_str());
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    _close(fd);
    DeleteFileW(widePath.c_str());
  }
  return file;
}

void copyPermissions(std::FILE* /*file*/, const std::string& /*model*/) {}

bool syncFile(std::FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

void startWriteback(std::FILE* /*file*/) {}

bool replaceFile(const std::string& from, const std::string& to,
                 const std::string& backup) {
  const std::wstring wideFrom = systemPath(from);
  const std::wstring wideTo = systemPath(to);
  const std::wstring wideBackup = systemPath(backup);
  if (GetFileAttributesW(wideTo.c_str()) == INVALID_FILE_ATTRIBUTES) {
    // Write-through: the call returns only once the move is on the disk.
    return MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                       MOVEFILE_WRITE_THROUGH) != 0;
  }
  // ReplaceFile keeps the old file's attributes and ACLs on the new one and
  // moves the old one to the backup name.
  if (ReplaceFileW(wideTo.c_str(), wideFrom.c_str(), wideBackup.c_str(), 0,
                   nullptr, nullptr) != 0) {
    return true;
  }
  // Should it have got as far as moving the old file away, put it back.
  if (GetFileAttributesW(wideTo.c_str()) == INVALID_FILE_ATTRIBUTES) {
    MoveFileExW(wideBackup.c_str(), wideTo.c_str(), MOVEFILE_WRITE_THROUGH);
  }
  return false;
}

}  // namespace platform
