// The replacement's steps on Windows. Every path reaches the W calls through
// win32::systemPath; every name of the tool's is opened without following a
// reparse point.
#include "platform/replace_steps.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/handle.h"

// After windows.h, which handle.h brings.
#include <aclapi.h>
#include <sddl.h>

namespace platform {
namespace steps {

namespace {

using win32::failed;
using win32::handleOf;
using win32::kShareAll;
using win32::lastError;
using win32::systemPath;

// Windows 10 and later; mingw-w64 headers hide them below some targets.
const auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kReplacePosix = 0x3;  // replace if exists, POSIX semantics
constexpr DWORD kSelf =
    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

File openHandle(const std::string& path, DWORD access, DWORD share, DWORD flags,
                DWORD how = OPEN_EXISTING,
                SECURITY_ATTRIBUTES* security = nullptr) {
  const HANDLE handle = CreateFileW(systemPath(path).c_str(), access, share,
                                    security, how, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) failed();
  return win32::fileOf(handle);
}

// Access denied comes from a holder (a game, a virus scanner) as well as
// from a permission. After the retries, the read-only flag and then an open
// for deleting tell them apart.
bool failedOn(const std::string& path) {
  failed();
  if (lastError != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = GetFileAttributesW(systemPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    lastError = ERROR_FILE_READ_ONLY;
  } else if (openHandle(path, DELETE, kShareAll, kSelf).isOpen() ||
             lastError == ERROR_SHARING_VIOLATION) {
    lastError = ERROR_SHARING_VIOLATION;
  } else {
    lastError = ERROR_ACCESS_DENIED;
  }
  return false;
}

// Where `file` is, spelt as the tool spells paths: UTF-8 joined with "/",
// without the \\?\ that systemPath puts back where it is needed.
bool finalPath(const File& file, std::string* path) {
  std::wstring final(32768, L'\0');
  const DWORD size = GetFinalPathNameByHandleW(
      handleOf(file), &final[0], 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (size < 4 || size >= final.size()) return failed();
  // "\\?\C:\..." is "C:\...", and "\\?\UNC\server\..." "\\server\...".
  final.resize(size);
  final.erase(0, 4);
  if (final.compare(0, 4, L"UNC\\") == 0) final.replace(0, 3, L"\\");
  // A UNC path keeps its leading pair as it was.
  std::replace(final.begin() + 2, final.end(), L'\\', L'/');
  *path = win32::textOf(final.c_str());
  return true;
}

// Streams are copied only by a path, which may lead elsewhere by then: a
// package with one is rewritten in place instead.
bool hasNamedStream(HANDLE file) {
  alignas(FILE_STREAM_INFO) unsigned char list[1024];
  const auto* first = reinterpret_cast<const FILE_STREAM_INFO*>(list);
  if (!GetFileInformationByHandleEx(file, FileStreamInfo, list, sizeof list)) {
    return GetLastError() == ERROR_MORE_DATA;  // FAT and wine list none
  }
  // More than "::$DATA", the file's own bytes.
  return first->NextEntryOffset != 0 ||
         first->StreamNameLength != 7 * sizeof(wchar_t);
}

// A file on a disk that is neither a directory nor a reparse point:
// CreateFile opens devices such as NUL or CON too.
bool lookOpen(const File& file, Look* found) {
  const HANDLE handle = handleOf(file);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == 0) return failed();
  found->link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  found->regular = !found->link && win32::regularFile(handle, &info);
  found->size = win32::sizeOf(info);
  found->links = info.nNumberOfLinks;
  found->ours = win32::ownedByUs(handle, false);
  found->readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (!identify(file, &found->id)) found->id = FileId();  // none: empty
  return true;
}

}  // namespace

Cause lastCause() {
  static const struct {
    DWORD error;
    Cause cause;
  } kCauses[] = {
      {ERROR_DISK_FULL, Cause::kDiskFull},
      {ERROR_HANDLE_DISK_FULL, Cause::kDiskFull},
      {ERROR_WRITE_PROTECT, Cause::kReadOnlyVolume},
      {ERROR_ALREADY_EXISTS, Cause::kChanged},
      {ERROR_FILE_EXISTS, Cause::kChanged},
      {ERROR_FILE_READ_ONLY, Cause::kReadOnly},  // set by failedOn()
      {ERROR_DIRECTORY, Cause::kNotFolder},
      {ERROR_BAD_FILE_TYPE, Cause::kNotRegular},  // set by openExisting()
      {ERROR_SHARING_VIOLATION, Cause::kHeld},
      {ERROR_LOCK_VIOLATION, Cause::kHeld},
      {ERROR_ACCESS_DENIED, Cause::kDenied},
      {ERROR_CANT_RESOLVE_FILENAME, Cause::kBrokenLink},
  };
  for (const auto& known : kCauses) {
    if (known.error == lastError) return known.cause;
  }
  return Cause::kIo;
}

bool lastWasMissing() { return win32::isMissing(lastError); }

bool look(const std::string& path, Look* found) {
  // No data access, which no holder's sharing refuses.
  const File file =
      openHandle(path, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, kSelf);
  return file.isOpen() ? lookOpen(file, found) : failedOn(path);
}

Cause resolveLinks(const std::string& path, std::string* target) {
  *target = path;  // no link, or no package yet
  // Held without sharing its deletion, so that the link judged is the one
  // the open below follows. What this cannot open (nothing, or a package a
  // merge that published it holds with DELETE access) is judged by the
  // protocol's own look, which follows nothing.
  const File link = openHandle(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, kSelf);
  Look found;
  if (!link.isOpen() || !lookOpen(link, &found) || !found.link) {
    return Cause::kNone;
  }
  if (!win32::ownedByUs(handleOf(link), true)) return Cause::kUnsafeLink;
  // The system follows the rest of the chain, and says where it ended.
  const File followed = openHandle(path, FILE_READ_ATTRIBUTES, kShareAll,
                                   FILE_FLAG_BACKUP_SEMANTICS);
  if (!followed.isOpen()) {
    return lastWasMissing() ? Cause::kBrokenLink : lastCause();
  }
  return finalPath(followed, target) ? Cause::kNone : lastCause();
}

File openExisting(const std::string& path, bool forWriting) {
  // Shared for deleting, so that the lock held on it lets a rename over it;
  // a folder opens too, and is refused below as no regular file.
  File file = win32::openRetried(
      systemPath(path), GENERIC_READ | (forWriting ? GENERIC_WRITE : 0),
      kShareAll, OPEN_EXISTING, kSelf);
  Look found;
  if (!file.isOpen()) {
    failedOn(path);
  } else if (!lookOpen(file, &found) || !found.regular) {
    lastError = ERROR_BAD_FILE_TYPE;
    file = File();
  }
  return file;
}

File createNew(const std::string& path) {
  // For this user alone until keepMetadata gives it the package's DACL: a
  // handle opened meanwhile would keep its access.
  LPWSTR user = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (win32::tokenSid(TokenUser) == nullptr ||
      ConvertSidToStringSidW(win32::tokenSid(TokenUser), &user) == 0 ||
      ConvertStringSecurityDescriptorToSecurityDescriptorW(
          (L"D:P(A;;FA;;;" + std::wstring(user) + L")").c_str(),
          SDDL_REVISION_1, &descriptor, nullptr) == 0) {
    failed();
    LocalFree(user);
    return File();
  }
  SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
  // DELETE, so that publish() renames it by this handle; the rest, so that
  // keepMetadata gives it the package's security by it too.
  File file = openHandle(path,
                         GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL |
                             WRITE_DAC | WRITE_OWNER,
                         FILE_SHARE_READ | FILE_SHARE_DELETE,
                         FILE_FLAG_OPEN_REPARSE_POINT, CREATE_NEW, &security);
  if (!file.isOpen()) failedOn(path);
  LocalFree(user);
  LocalFree(descriptor);
  return file;
}

Cause lockFile(const File& file, bool exclusive) {
  // Far past any end of file: Windows locks are mandatory, and a lock on the
  // bytes themselves would refuse the game's reads of the package.
  OVERLAPPED at = win32::overlappedAt(0x7FFFFFFFFFFFFFFEu);
  const DWORD flags =
      LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  // A file system that cannot lock is taken as it was before locks.
  if (LockFileEx(handleOf(file), flags, 0, 1, 0, &at) != 0 || failed() ||
      lastError == ERROR_NOT_SUPPORTED || lastError == ERROR_INVALID_FUNCTION) {
    return Cause::kNone;
  }
  return lastError == ERROR_LOCK_VIOLATION ? Cause::kBusy : lastCause();
}

bool mayReplace(const std::string& path) {
  return win32::retried([&] {
           return openHandle(path, DELETE, kShareAll, kSelf).isOpen();
         }) ||
         failedOn(path);
}

bool linkName(const std::string& from, const std::string& to) {
  return CreateHardLinkW(systemPath(to).c_str(), systemPath(from).c_str(),
                         nullptr) != 0 ||
         failed();
}

// Write-through: done only once the move is on the disk. ReplaceFile is not
// used: see docs/DEVELOPING.md. A refusal is judged on the file replaced.
bool moveName(const std::string& from, const std::string& to, bool over) {
  const DWORD flags = over ? MOVEFILE_REPLACE_EXISTING : 0;
  return win32::retried([&] {
           return MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(),
                              flags | MOVEFILE_WRITE_THROUGH) != 0;
         }) ||
         failedOn(over ? to : from);
}

bool publish(const File& fresh, const std::string& freshPath,
             const std::string& target, File* held) {
  // By the new file's handle, with POSIX semantics: the old file may stay
  // open (the lock's handle shares its deletion), so the lock holds through.
  // The new file is beside the old one: a name without a folder renames it
  // within its own.
  const std::wstring name =
      win32::toWide(target.substr(target.find_last_of('/') + 1));
  const std::size_t at = offsetof(FILE_RENAME_INFO, FileName);
  std::vector<unsigned char> info(at + (name.size() + 1) * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(info.data());
  // Flags shares its place with ReplaceIfExists, named or not by the headers.
  std::memcpy(info.data(), &kReplacePosix, sizeof kReplacePosix);
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(&info[at], name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  if (SetFileInformationByHandle(handleOf(fresh), kRenameInfoEx, info.data(),
                                 static_cast<DWORD>(info.size())) != 0) {
    return true;
  }
  // Older systems, FAT and wine refuse it: the lock goes first, as the old
  // file open would refuse the rename.
  held->close();
  return moveName(freshPath, target, true);
}

bool removeName(const std::string& path) {
  const std::wstring wide = systemPath(path);
  return win32::retried([&] { return DeleteFileW(wide.c_str()) != 0; }) ||
         failedOn(path);
}

bool syncFile(const File& file, bool wait) {
  return !wait || FlushFileBuffers(handleOf(file)) != 0 || failed();
}

// A folder opens for flushing only with backup semantics and write access,
// which a user rarely has; MOVEFILE_WRITE_THROUGH put the names there.
bool syncFolder(const std::string&) { return true; }

Cause keepMetadata(const File& from, const File& to, bool copy) {
  const HANDLE old = handleOf(from);
  if (!copy) {
    // What the user set and sees in Explorer; read-only is never set here,
    // as a read-only package is refused before. Zero times stay as they are.
    FILE_BASIC_INFO basic = {};
    FILE_BASIC_INFO mine = {};
    const bool read = GetFileInformationByHandleEx(old, FileBasicInfo, &basic,
                                                   sizeof basic) != 0;
    mine.FileAttributes =
        basic.FileAttributes &
        (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
         FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (mine.FileAttributes == 0) mine.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!read || SetFileInformationByHandle(handleOf(to), FileBasicInfo, &mine,
                                            sizeof mine) == 0) {
      failed();
      return lastCause();
    }
    if (hasNamedStream(old)) return Cause::kDenied;
  }
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
  if (!copy) what |= OWNER_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR was = nullptr;
  const DWORD read = GetSecurityInfo(old, SE_FILE_OBJECT, what, nullptr,
                                     nullptr, nullptr, nullptr, &was);
  if (read != ERROR_SUCCESS) {
    lastError = read;
    return lastCause();
  }
  // The old file's own descriptor, as SetFileSecurity would set it: the
  // DACL exactly, inherited entries included and protected or not as its
  // control says. SetSecurityInfo would take a folder's inherited entries
  // afresh, and a copy beside a link's name may be in another folder.
  // What is refused (another user as owner, a label above ours) only the
  // old file keeps: the package is then rewritten in place.
  const bool given = SetKernelObjectSecurity(handleOf(to), what, was) != 0;
  LocalFree(was);
  return given ? Cause::kNone : Cause::kDenied;
}

}  // namespace steps
}  // namespace platform
