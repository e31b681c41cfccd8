#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle fromHandle(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

// A name as the ANSI code page spells it. No best fit: a fullwidth dot or
// solidus must not come back as '.' or '/', so what has no exact form
// becomes '?', which no safe name holds.
std::string toAnsi(const wchar_t* name) {
  BOOL lossy = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1,
                                       nullptr, 0, "?", &lossy);
  if (size <= 0) return "?";
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, &text[0], size,
                      "?", &lossy);
  text.resize(static_cast<std::size_t>(size - 1));  // the terminator
  return text;
}

std::wstring toWide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], size);
  wide.resize(static_cast<std::size_t>(size - 1));
  return wide;
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

FileId idOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileId id;
  id.volume = info.dwVolumeSerialNumber;
  id.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
             info.nFileIndexLow;
  return id;
}

bool identifyHandle(HANDLE handle, FileId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == 0) return false;
  *id = idOf(info);
  return true;
}

HANDLE streamHandle(std::FILE* file) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

}  // namespace

bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names) {
  // Asked for in UTF-16, so every name arrives whole and is then spelt in
  // the ANSI code page without guesses; the A calls would guess.
  const std::wstring widePattern = toWide(pattern);
  WIN32_FIND_DATAW findFileData;
  HANDLE find = FindFirstFileW(widePattern.c_str(), &findFileData);
  if (find == INVALID_HANDLE_VALUE) return false;
  const std::size_t start = names->size();
  do {
    std::string name = toAnsi(findFileData.cFileName);
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
  HANDLE handle = CreateFileA(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool ok = identifyHandle(handle, id);
  CloseHandle(handle);
  return ok;
}

Opened openForWriting(const std::string& path, FileHandle* file, FileId* id) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    *file = fromHandle(handle);
    return Opened::kCreated;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
    return Opened::kFailed;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Opened::kNotRegular;
  }
  handle = CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Opened::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  if (!regularFile(handle, &info)) {
    CloseHandle(handle);
    return Opened::kNotRegular;
  }
  *file = fromHandle(handle);
  *id = idOf(info);
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
  HANDLE handle = CreateFileA(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
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
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Target::kMissing;
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? Target::kReadOnly
                                                     : Target::kWritable;
}

std::FILE* createNewFile(const std::string& path) {
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd =
      _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    DeleteFileA(path.c_str());
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    _close(fd);
    DeleteFileA(path.c_str());
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
  if (GetFileAttributesA(to.c_str()) == INVALID_FILE_ATTRIBUTES) {
    // Write-through: the call returns only once the move is on the disk.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
  }
  // ReplaceFile keeps the old file's attributes and ACLs on the new one and
  // moves the old one to the backup name.
  if (ReplaceFileA(to.c_str(), from.c_str(), backup.c_str(), 0, nullptr,
                   nullptr) != 0) {
    return true;
  }
  // Should it have got as far as moving the old file away, put it back.
  if (GetFileAttributesA(to.c_str()) == INVALID_FILE_ATTRIBUTES) {
    MoveFileExA(backup.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH);
  }
  return false;
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
