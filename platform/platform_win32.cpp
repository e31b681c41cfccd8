#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace platform {

bool listDirectory(const std::string& pattern,
                   std::vector<std::string>* names) {
  WIN32_FIND_DATAA findFileData;
  HANDLE find = FindFirstFileA(pattern.c_str(), &findFileData);
  if (find == INVALID_HANDLE_VALUE) return false;
  std::vector<std::string> found;
  do {
    found.push_back(findFileData.cFileName);
  } while (FindNextFileA(find, &findFileData));
  // The loop also ends when reading the directory fails part-way through;
  // only "no more files" means every name was seen.
  bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  if (!complete) return false;
  names->insert(names->end(), found.begin(), found.end());
  return true;
}

bool fileSize(std::FILE* file, std::uint64_t* size) {
  // fopen opens devices such as NUL or CON as well; only a file on a disk
  // that is not a directory has a size worth trusting.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
          info.nFileSizeLow;
  return true;
}

bool syncFile(std::FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  // Write-through: the call returns only once the move is on the disk.
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void startWriteback(std::FILE* /*file*/) {}

void reserveSpace(std::FILE* /*file*/, std::uint64_t /*size*/) {}

}  // namespace platform
