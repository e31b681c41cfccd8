// What the Windows sources share: a File's HANDLE, and the calls another
// program's brief hold on a file must not defeat.
#ifndef QUILLMERE_PLATFORM_WIN32_HANDLE_H_
#define QUILLMERE_PLATFORM_WIN32_HANDLE_H_

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/win32_path.h"

namespace platform {
namespace win32 {

inline HANDLE handleOf(const File& file) {
  return reinterpret_cast<HANDLE>(file.handle());
}
inline File fileOf(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE
             ? File()
             : File(reinterpret_cast<FileHandle>(handle));
}

inline std::uint64_t sizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
         info.nFileSizeLow;
}
// Given an OVERLAPPED, a handle that is not overlapped reads or writes (or
// locks) at its offset and waits as usual.
inline OVERLAPPED overlappedAt(std::uint64_t offset) {
  OVERLAPPED where = {};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

// Only a file on a disk that is not a directory: CreateFile opens devices
// such as NUL or CON too.
bool regularFile(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info);
bool isDirectory(const std::wstring& path);
bool isMissing(DWORD error);

// Another program may hold a file for a moment: a game reading the package,
// a virus scanner or an indexer opening the file just written. What it
// refuses meanwhile is tried again with a growing pause, about two seconds
// in all, as SQLite's winRetryIoerr does; then the refusal stands.
constexpr int kRetries = 12;
constexpr DWORD kRetryPause = 25;  // milliseconds, times the attempt

inline bool isHeldByAnother(DWORD error) {
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
                 DWORD disposition, DWORD flags);

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The error of the last call of the platform's that failed, kept by failed()
// (which returns false): a close or a sleep in between must not change what
// the replacement reads.
extern DWORD lastError;
bool failed();

// A SID of the process token's (TokenUser, TokenOwner); nullptr when it
// cannot be read.
PSID tokenSid(TOKEN_INFORMATION_CLASS kind);
// Whether the file open as `handle` (with READ_CONTROL) is owned by the
// token's user or its default owner; `orSystem` adds Administrators and
// SYSTEM. Another user's reparse point could lead to any file of ours.
bool ownedByUs(HANDLE handle, bool orSystem);

}  // namespace win32
}  // namespace platform

#endif  // QUILLMERE_PLATFORM_WIN32_HANDLE_H_
