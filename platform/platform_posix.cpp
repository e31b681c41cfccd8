#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <utility>

#include "platform/platform.h"

namespace platform {

namespace {

unsigned char foldAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// The order NTFS keeps a directory in, for the bytes of narrow names: compare
// upper-cased, and let names that only differ in case fall back to their
// plain bytes so the order is total and does not depend on readdir.
bool ntfsNameLess(const std::string& left, const std::string& right) {
  const unsigned char* l = reinterpret_cast<const unsigned char*>(left.data());
  const unsigned char* r = reinterpret_cast<const unsigned char*>(right.data());
  std::size_t common = std::min(left.size(), right.size());
  int plainOrder = 0;  // the first plain difference, for names equal folded
  for (std::size_t i = 0; i < common; ++i) {
    // Names in one directory mostly share long prefixes: equal bytes are
    // equal folded too, so only a difference needs folding.
    if (l[i] == r[i]) continue;
    unsigned char a = foldAscii(l[i]);
    unsigned char b = foldAscii(r[i]);
    if (a != b) return a < b;
    if (plainOrder == 0) plainOrder = l[i] < r[i] ? -1 : 1;
  }
  if (left.size() != right.size()) return left.size() < right.size();
  return plainOrder < 0;
}

}  // namespace

bool listDirectory(const std::string& pattern,
                   std::vector<std::string>* names) {
  // "work/*" searches "work/"; an empty work path gives "/*", the root, as it
  // does on Windows.
  std::string directory = pattern;
  if (!directory.empty() && directory.back() == '*') directory.pop_back();
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;

  std::vector<std::string> found;
  bool readAll = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      // A read error would leave entries out of the package without a word.
      readAll = errno == 0;
      break;
    }
    found.emplace_back(entry->d_name);
  }
  closedir(dir);
  if (!readAll) return false;

  std::sort(found.begin(), found.end(), ntfsNameLess);
  if (names->empty()) {
    names->swap(found);
  } else {
    names->insert(names->end(), std::make_move_iterator(found.begin()),
                  std::make_move_iterator(found.end()));
  }
  return true;
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

void startWriteback(std::FILE* file) {
#if defined(__linux__)
  // Only a hint: should it fail, the final sync does all the work.
  sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

void reserveSpace(std::FILE* file, std::uint64_t size) {
#if defined(__linux__)
  // Keep the size as it is: a run cut short leaves a file as short as what
  // it got, not one padded with zeros to look whole. posix_fallocate is no
  // use here: where the file system cannot reserve, it writes zeros.
  if (size > 0 && size <= static_cast<std::uint64_t>(INT64_MAX)) {
    fallocate(fileno(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
  }
#else
  (void)file;
  (void)size;
#endif
}

}  // namespace platform
