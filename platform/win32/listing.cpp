#include "platform/listing.h"

#include "platform/win32/handle.h"
#include "platform/win32_path.h"

namespace platform {

bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names) {
  // Asked for in UTF-16, so every name arrives whole and is kept exactly;
  // the A calls would guess.
  const std::wstring widePattern = win32::systemPath(pattern);
  WIN32_FIND_DATAW findFileData;
  HANDLE find = FindFirstFileW(widePattern.c_str(), &findFileData);
  if (find == INVALID_HANDLE_VALUE) {
    // The root of a drive has no "." or "..", so an empty one has nothing
    // at all to give; any other directory says "path not found" when it
    // is missing.
    return GetLastError() == ERROR_FILE_NOT_FOUND && !widePattern.empty() &&
           widePattern.back() == L'*' &&
           win32::isDirectory(widePattern.substr(0, widePattern.size() - 1));
  }
  const std::size_t start = names->size();
  do {
    std::string name = win32::textOf(findFileData.cFileName);
    if (keep(name)) names->push_back(std::move(name));
  } while (FindNextFileW(find, &findFileData));
  // The loop also ends when reading the directory fails part-way through;
  // only "no more files" means every name was seen.
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  if (!complete) names->resize(start);
  return complete;
}

}  // namespace platform
