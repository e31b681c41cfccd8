#include "platform/file.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "platform/win32/handle.h"
#include "platform/win32_path.h"

// After windows.h, which handle.h brings.
#include <aclapi.h>

namespace platform {

namespace win32 {

// Only a file on a disk that is not a directory: CreateFile opens devices
// such as NUL or CON too.
bool regularFile(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileType(handle) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(handle, info) != 0 &&
         (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool isDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
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

DWORD lastError = ERROR_SUCCESS;

bool failed() {
  lastError = GetLastError();
  return false;
}

// A SID of the process token's: TOKEN_USER and TOKEN_OWNER both begin with
// a pointer to it.
PSID tokenSid(TOKEN_INFORMATION_CLASS kind) {
  alignas(PSID) static unsigned char blocks[2][128];
  unsigned char* const block = blocks[kind == TokenOwner ? 1 : 0];
  HANDLE token = nullptr;
  DWORD size = 0;
  const bool read =
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0 &&
      GetTokenInformation(token, kind, block, sizeof blocks[0], &size) != 0;
  if (token != nullptr) CloseHandle(token);
  return read ? *reinterpret_cast<PSID*>(block) : nullptr;
}

// The token's user, or its default owner: Administrators in an elevated
// window, which owns what that window made. `orSystem` adds Administrators
// and SYSTEM, who own what installers and updates made.
bool ownedByUs(HANDLE file, bool orSystem) {
  PSID sid = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid,
                      nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool ours = orSystem && (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                           IsWellKnownSid(sid, WinLocalSystemSid));
  for (const auto kind : {TokenUser, TokenOwner}) {
    const PSID mine = tokenSid(kind);
    ours = ours || (mine != nullptr && EqualSid(sid, mine) != 0);
  }
  LocalFree(descriptor);
  return ours;
}

}  // namespace win32

using win32::failed;
using win32::fileOf;
using win32::handleOf;
using win32::isDirectory;
using win32::kShareAll;
using win32::regularFile;
using win32::systemPath;

namespace {

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

bool isReparsePoint(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opens the file at `path` as CreateFileW would, but a reparse point there
// only when ownedByUs() passes it; `othersLink` is set when it does not.
File openFollowingOurs(const std::wstring& path, DWORD access, DWORD share,
                       DWORD flags, bool* othersLink) {
  *othersLink = false;
  File file =
      fileOf(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                         flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.isOpen() || !isReparsePoint(handleOf(file))) return file;
  // The owner needs READ_CONTROL, which a handle for writing may lack.
  const File point = fileOf(CreateFileW(
      path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
      nullptr));
  *othersLink = !point.isOpen() || !win32::ownedByUs(handleOf(point), true);
  if (*othersLink) return File();
  return fileOf(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                            flags, nullptr));
}

}  // namespace

bool File::close() {
  if (handle_ == kNoFile) return true;
  return CloseHandle(reinterpret_cast<HANDLE>(release())) != 0;
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

PathKind pathKind(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return win32::isMissing(GetLastError()) ? PathKind::kMissing
                                            : PathKind::kOther;
  }
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0
             ? PathKind::kFile
             : PathKind::kOther;
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
  bool othersLink = false;
  File existing = openFollowingOurs(widePath, GENERIC_WRITE, share,
                                    FILE_ATTRIBUTE_NORMAL, &othersLink);
  if (othersLink) return Opened::kOthersLink;
  if (!existing.isOpen()) return Opened::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  if (!regularFile(handleOf(existing), &info)) return Opened::kNotRegular;
  // A file we cannot tell from the package or an earlier entry is not
  // written over.
  if (!identify(existing, id)) return Opened::kFailed;
  *file = std::move(existing);
  return Opened::kExisting;
}

namespace {

constexpr std::size_t kMostPerCall = 0x40000000;

}  // namespace

bool readAt(const File& file, std::uint64_t offset, unsigned char* data,
            std::size_t size, std::size_t* got) {
  *got = 0;
  while (*got < size) {
    OVERLAPPED where = win32::overlappedAt(offset + *got);
    DWORD done = 0;
    if (ReadFile(handleOf(file), data + *got,
                 static_cast<DWORD>(std::min(size - *got, kMostPerCall)), &done,
                 &where) == 0) {
      // The end of the file reads as nothing.
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
  for (std::size_t written = 0; written < size;) {
    OVERLAPPED where = win32::overlappedAt(offset + written);
    DWORD done = 0;
    if (WriteFile(handleOf(file), data + written,
                  static_cast<DWORD>(std::min(size - written, kMostPerCall)),
                  &done, &where) == 0 ||
        done == 0) {
      return failed();
    }
    written += done;
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

File openForReading(const std::string& path, std::uint64_t* size,
                    bool* othersLink) {
  // Shared every way, so an editor's save by rename is not refused while a
  // merge reads the file.
  const std::wstring widePath = systemPath(path);
  File file = othersLink != nullptr
                  ? openFollowingOurs(widePath, GENERIC_READ, kShareAll,
                                      FILE_FLAG_SEQUENTIAL_SCAN, othersLink)
                  : fileOf(CreateFileW(widePath.c_str(), GENERIC_READ,
                                       kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.isOpen() || !regularFile(handleOf(file), &info)) return File();
  *size = win32::sizeOf(info);
  return file;
}

bool removeFile(const std::string& path) {
  return DeleteFileW(systemPath(path).c_str()) != 0;
}

}  // namespace platform
