// The replacement's steps on Windows. Every path reaches the W calls through
// win32::systemPath; every name of the tool's is opened without following a
// reparse point.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN

#include "platform/replace_steps.h"

#include <aclapi.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32_path.h"

namespace platform {
namespace steps {

namespace {

using win32::handleOf;
using win32::kShareAll;
using win32::systemPath;

// The error of the last step that failed: a close or a sleep in between
// must not change what the protocol reads.
DWORD lastError = ERROR_SUCCESS;

bool failed() {
  lastError = GetLastError();
  return false;
}

File fileOf(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) failed();
  return win32::fileOf(handle);
}

bool isHeld(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// What another program refuses for a moment is tried again (the Windows
// sources' retry); what is refused after that is the step's failure.
template <typename Call>
bool retried(Call call) {
  return win32::retried(call) || failed();
}

File openRetried(const std::string& path, DWORD access, DWORD disposition,
                 DWORD flags) {
  File file = win32::openRetried(systemPath(path), access, kShareAll,
                                 disposition, flags);
  if (!file.isOpen()) failed();
  return file;
}

// A file on a disk that is neither a directory nor a reparse point:
// CreateFile opens devices such as NUL or CON too.
bool fillFromFile(const File& file, Look* found) {
  const HANDLE handle = handleOf(file);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == 0) return failed();
  const DWORD type = GetFileType(handle);
  found->regular =
      type == FILE_TYPE_DISK &&
      (info.dwFileAttributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  found->link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  found->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                info.nFileSizeLow;
  found->links = info.nNumberOfLinks;
  // Owners are not compared here: a file the user may write is the user's
  // to replace, and ACLs, not owners, decide who may.
  found->ours = true;
  found->id = FileId();
  // A file with no id is equal to nothing, which the protocol takes as
  // changed.
  if (!identify(file, &found->id)) found->id = FileId();
  return true;
}

// A file the user opened as it is, not a regular one: refused like ENOENT
// would not be, so the cause reads as a failure of its own.
File onlyRegular(File file) {
  Look found;
  if (file.isOpen() && (!fillFromFile(file, &found) || !found.regular)) {
    lastError = ERROR_INVALID_NAME;
    return File();
  }
  return file;
}

// The path as GetFinalPathNameByHandle gives it, in the narrow form the rest
// of the tool joins with "/"; false when the ANSI code page cannot spell it.
bool narrowPath(std::wstring wide, std::string* path) {
  if (wide.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    wide = L"\\\\" + wide.substr(8);
  } else if (wide.compare(0, 4, L"\\\\?\\") == 0) {
    wide = wide.substr(4);
  }
  // In UTF-16, so that a DBCS trail byte that reads as "\" is never touched.
  for (wchar_t& c : wide) {
    if (c == L'\\') c = L'/';
  }
  // A UNC path keeps its leading pair as it was.
  if (wide.compare(0, 2, L"//") == 0) wide.replace(0, 2, L"\\\\");
  BOOL lossy = FALSE;
  const int size = WideCharToMultiByte(
      CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr, 0, "?", &lossy);
  if (size <= 0 || lossy) return false;
  path->assign(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1,
                      &(*path)[0], size, "?", &lossy);
  path->resize(static_cast<std::size_t>(size - 1));
  return !lossy;
}

// The DACL of an open file, as one block; empty when it has none.
bool daclOf(HANDLE file, std::vector<unsigned char>* acl, bool* isProtected) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool known =
      GetSecurityDescriptorControl(descriptor, &control, &revision) != 0;
  *isProtected = (control & SE_DACL_PROTECTED) != 0;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(dacl);
  acl->assign(bytes, bytes + (dacl == nullptr ? 0 : dacl->AclSize));
  LocalFree(descriptor);
  return known;
}

// Whether the new file got the old one's DACL by inheritance from the
// folder: otherwise what the user set stays only with the old file.
Kept sameAcl(HANDLE from, HANDLE to) {
  std::vector<unsigned char> old;
  std::vector<unsigned char> mine;
  bool oldProtected = false;
  bool mineProtected = false;
  if (!daclOf(from, &old, &oldProtected) ||
      !daclOf(to, &mine, &mineProtected)) {
    return Kept::kNo;
  }
  return old == mine && oldProtected == mineProtected ? Kept::kYes : Kept::kNo;
}

}  // namespace

Cause lastCause() {
  switch (lastError) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Cause::kDiskFull;
    case ERROR_WRITE_PROTECT:
      return Cause::kReadOnly;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return Cause::kHeld;
    case ERROR_CANT_RESOLVE_FILENAME:
      return Cause::kBrokenLink;
    default:
      return Cause::kIo;
  }
}

bool lastWasMissing() {
  return lastError == ERROR_FILE_NOT_FOUND || lastError == ERROR_PATH_NOT_FOUND;
}

bool lastWasDenied() { return lastError == ERROR_ACCESS_DENIED; }

bool look(const std::string& path, Look* found) {
  const std::wstring wide = systemPath(path);
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &attributes) ==
      0) {
    return failed();
  }
  // No access asked for: a holder's sharing refuses nothing, and the link
  // itself is what is looked at.
  const File file = fileOf(CreateFileW(
      wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.isOpen() && fillFromFile(file, found);
}

bool lookOpen(const File& file, Look* found) {
  return fillFromFile(file, found);
}

bool resolveLinks(const std::string& path, std::string* target, Cause* cause) {
  const std::wstring wide = systemPath(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    failed();
    if (lastWasMissing()) {
      *target = path;  // no package yet
      return true;
    }
    *cause = lastCause();
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    *target = path;
    return true;
  }
  // The system follows every link in the chain, and says where it ended.
  const File file =
      fileOf(CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.isOpen()) {
    *cause = lastWasMissing() || lastError == ERROR_CANT_RESOLVE_FILENAME
                 ? Cause::kBrokenLink
                 : lastCause();
    return false;
  }
  std::wstring final(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        handleOf(file), &final[0], static_cast<DWORD>(final.size()),
        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      failed();
      *cause = lastCause();
      return false;
    }
    if (length < final.size()) {
      final.resize(length);
      break;
    }
    final.resize(length);
  }
  if (!narrowPath(final, target)) {
    *cause = Cause::kIo;
    return false;
  }
  return true;
}

void folderAccess(const std::string& folder, bool* openToOthers, bool* sticky) {
  // Windows decides with ACLs, which the tool does not judge.
  static_cast<void>(folder);
  *openToOthers = false;
  *sticky = false;
}

File createNew(const std::string& path) {
  // Shared for deleting: the protocol renames it while it is still open.
  return fileOf(CreateFileW(
      systemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

File openNoFollow(const std::string& path, bool forWriting) {
  return onlyRegular(
      openRetried(path, GENERIC_READ | (forWriting ? GENERIC_WRITE : 0),
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT));
}

File openLockFile(const std::string& path, bool* created) {
  // Shared every way, so a second merge opens it and finds it locked; no
  // delete on close, which would follow a planted link's target.
  const std::wstring wide = systemPath(path);
  File file = fileOf(CreateFileW(
      wide.c_str(), GENERIC_READ, kShareAll, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  *created = file.isOpen();
  if (!*created &&
      (lastError == ERROR_FILE_EXISTS || lastError == ERROR_ALREADY_EXISTS)) {
    file = fileOf(CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));
  }
  return onlyRegular(std::move(file));
}

Locked lockExclusive(const File& file) {
  // Far past any end of file: Windows locks are mandatory, and a lock on the
  // bytes themselves would refuse the game's reads of the package.
  OVERLAPPED at = {};
  at.Offset = 0xFFFFFFFEu;
  at.OffsetHigh = 0x7FFFFFFFu;
  if (LockFileEx(handleOf(file),
                 LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &at) != 0) {
    return Locked::kYes;
  }
  failed();
  return isHeld(lastError) || lastError == ERROR_IO_PENDING ? Locked::kBusy
                                                            : Locked::kFailed;
}

bool mayWrite(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return failed();
  return (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

bool mayReplace(const std::string& path) {
  // The access a rename over it needs; a game that holds the package
  // without sharing its deletion refuses it, and then nothing is made yet.
  const File probe =
      openRetried(path, DELETE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (probe.isOpen()) return true;
  if (lastError == ERROR_ACCESS_DENIED) lastError = ERROR_SHARING_VIOLATION;
  return false;
}

bool linkName(const std::string& from, const std::string& to) {
  return CreateHardLinkW(systemPath(to).c_str(), systemPath(from).c_str(),
                         nullptr) != 0 ||
         failed();
}

bool renameOver(const std::string& from, const std::string& to) {
  // Write-through: done only once the move is on the disk. ReplaceFile is
  // not used: see docs/DEVELOPING.md.
  const std::wstring source = systemPath(from);
  const std::wstring destination = systemPath(to);
  if (retried([&] {
        return MoveFileExW(
                   source.c_str(), destination.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
      })) {
    return true;
  }
  // Still refused after the wait: a file that is open elsewhere cannot be
  // renamed over, and the read-only one was refused before.
  if (lastError == ERROR_ACCESS_DENIED) lastError = ERROR_SHARING_VIOLATION;
  return false;
}

bool removeName(const std::string& path) {
  const std::wstring wide = systemPath(path);
  return retried([&] { return DeleteFileW(wide.c_str()) != 0; });
}

bool syncFile(const File& file) {
  return FlushFileBuffers(handleOf(file)) != 0 || failed();
}

bool syncFolder(const std::string& folder) {
  // A folder opens for flushing only with backup semantics and write access,
  // which a user rarely has; MOVEFILE_WRITE_THROUGH put the names there.
  static_cast<void>(folder);
  return true;
}

bool readAt(const File& file, std::uint64_t offset, unsigned char* data,
            std::size_t size, std::size_t* got) {
  *got = 0;
  while (*got < size) {
    const std::uint64_t from = offset + *got;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(from);
    at.OffsetHigh = static_cast<DWORD>(from >> 32);
    const std::size_t left = size - *got;
    DWORD done = 0;
    if (ReadFile(handleOf(file), data + *got,
                 left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left),
                 &done, &at) == 0) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return failed();
    }
    if (done == 0) break;
    *got += done;
  }
  return true;
}

bool writeAt(const File& file, std::uint64_t offset, const unsigned char* data,
             std::size_t size) {
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    if (WriteFile(handleOf(file), data,
                  size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size),
                  &done, &at) == 0) {
      return failed();
    }
    if (done == 0) {
      lastError = ERROR_WRITE_FAULT;
      return false;
    }
    data += done;
    offset += done;
    size -= done;
  }
  return true;
}

bool truncateTo(const File& file, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end;
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(handleOf(file), FileEndOfFileInfo, &end,
                                    sizeof end) != 0 ||
         failed();
}

Kept keepMetadata(const File& from, const File& to) {
  FILE_BASIC_INFO old;
  if (GetFileInformationByHandleEx(handleOf(from), FileBasicInfo, &old,
                                   sizeof old) == 0) {
    failed();
    return Kept::kFailed;
  }
  // What the user set and sees in Explorer; read-only is never set here, as
  // a read-only package is refused before. Zero times leave them as they are.
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                     FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO mine = {};
  mine.FileAttributes = (old.FileAttributes & kept) != 0
                            ? old.FileAttributes & kept
                            : FILE_ATTRIBUTE_NORMAL;
  if (SetFileInformationByHandle(handleOf(to), FileBasicInfo, &mine,
                                 sizeof mine) == 0) {
    failed();
    return Kept::kFailed;
  }
  // A DACL of its own stays only with the old file: it is rewritten in place.
  return sameAcl(handleOf(from), handleOf(to));
}

bool giveModeOf(const File& from, const File& to) {
  // The copy inherits its folder's ACL, as the package's own folder gives.
  static_cast<void>(from);
  static_cast<void>(to);
  return true;
}

void startWriteback(const File& file) { static_cast<void>(file); }

}  // namespace steps
}  // namespace platform
