#include "platform/listing.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/file.h"

namespace platform {

namespace {

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
    const unsigned char a =
        static_cast<unsigned char>(upperAscii(static_cast<char>(l[i])));
    const unsigned char b =
        static_cast<unsigned char>(upperAscii(static_cast<char>(r[i])));
    if (a != b) return a < b;
    if (plainOrder == 0) plainOrder = l[i] < r[i] ? -1 : 1;
  }
  if (left.size() != right.size()) return left.size() < right.size();
  return plainOrder < 0;
}

}  // namespace

bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names) {
  // "work/*" searches "work/"; an empty work path gives "/*", the root, as it
  // does on Windows.
  std::string directory = pattern;
  directory.pop_back();
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;

  // The names go straight into the caller's list and are sorted there, so
  // a large directory's names are held once.
  const std::size_t start = names->size();
  bool readAll = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      // A read error would leave entries out of the package without a word.
      readAll = errno == 0;
      break;
    }
    std::string name = entry->d_name;
    if (keep(name)) names->push_back(std::move(name));
  }
  closedir(dir);
  if (!readAll) {
    names->resize(start);
    return false;
  }
  std::sort(names->begin() + static_cast<std::ptrdiff_t>(start), names->end(),
            ntfsNameLess);
  return true;
}

}  // namespace platform
