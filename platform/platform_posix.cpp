#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

namespace platform {

bool listDirectory(const std::string& /*pattern*/,
                   std::vector<std::string>* /*names*/) {
  return false;
}

bool isRegularFile(std::FILE* file) {
  struct stat info;
  return fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
}

bool syncFile(std::FILE* file) {
  return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool fileSize(std::FILE* file, std::uint64_t* size) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

}  // namespace platform
