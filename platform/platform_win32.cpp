#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace platform {

bool listDirectory(const std::string& /*pattern*/,
                   std::vector<std::string>* /*names*/) {
  return false;
}

bool isRegularFile(std::FILE* /*file*/) {
  // Windows refuses to open a directory as a file in the first place.
  return true;
}

bool syncFile(std::FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void startWriteback(std::FILE* /*file*/) {}

}  // namespace platform
