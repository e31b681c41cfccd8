#include <algorithm>
#include <deque>
#include <set>
#include <string>

#include "package/format.h"
#include "package/messages.h"
#include "package/shader_package.h"
#include "package/work_name.h"
#include "platform/platform.h"

namespace {

// Names the merge never packs: the directory's own entries, a Subversion
// working copy's bookkeeping, and every pre file (or anything named like
// one, such as a backup a.pre.bak). Both tests are case-sensitive.
bool isListed(const std::string& name) {
  if (name == "." || name == ".." || name == ".svn") return false;
  return name.find(format::kPreSuffix) == std::string::npos;
}

// The files the package's replacement keeps beside it are not work files,
// even when the work directory is the package directory.
void dropReplacementNames(std::deque<std::string>* names) {
  names->erase(std::remove_if(names->begin(), names->end(),
                              [](const std::string& name) {
                                return platform::isReplacementName(
                                    name, format::kPackageFileName);
                              }),
               names->end());
}

// A package in a work directory of its own is listed and counted like any
// name, but it is no shader: most often a merge with the two folders
// swapped left it there. Any case, as Windows would open it.
void warnOfPackages(const std::string& workPath,
                    const std::deque<std::string>& names) {
  const std::string package = format::kPackageFileName;
  for (const std::string& name : names) {
    bool same = name.size() == package.size();
    for (std::size_t i = 0; same && i < name.size(); ++i) {
      same = platform::lowerAscii(name[i]) == package[i];
    }
    if (same) message::packageInWork(workFilePath(workPath, name));
  }
}

// Whether the listed `name` has a pre file of its own, as the merge decides
// it: one at the stem rule's path that names it, or, for a .hlsl name, one
// that names no other listed file leading to it (water.orig beside
// water.hlsl is the stray, not water.hlsl).
bool hasOwnPreFile(const std::string& workPath, const std::string& name,
                   const std::set<std::string>& listed) {
  if (!isSafeName(name)) return false;
  const std::string prePath = preFilePath(workFilePath(workPath, name));
  std::uint64_t size = 0;
  const platform::File pre = platform::openForReading(prePath, &size);
  unsigned char header[format::kMaxPreFileSize];
  std::size_t got = 0;
  if (!pre.isOpen() || !platform::readAt(pre, 0, header, sizeof header, &got)) {
    return false;
  }
  const std::string named = workingName(header, got);
  if (named == name) return true;
  return endsInShaderSuffix(name) &&
         (listed.count(named) == 0 ||
          preFilePath(workFilePath(workPath, named)) != prePath);
}

}  // namespace

void explainOddCount(const std::string& workPath,
                     const std::deque<std::string>& names) {
  const std::set<std::string> listed(names.begin(), names.end());
  const std::string* first = nullptr;
  std::size_t more = 0;
  for (const std::string& name : names) {
    if (hasOwnPreFile(workPath, name, listed)) continue;
    if (first == nullptr) {
      first = &name;
    } else {
      ++more;
    }
  }
  if (first == nullptr) {
    message::oddShaders();
  } else {
    message::noOwnPreFile(workFilePath(workPath, *first), more);
  }
}

bool ShaderPackage::listWorkFiles() {
  // The names are listed straight into fileList, behind what it held, so a
  // failed listing leaves it as it was, and a large directory's names are
  // held once, pre files not at all. The order is the directory's; nothing
  // here sorts.
  const std::size_t earlier = fileList.size();
  if (!platform::listDirectory(searchPattern(workPath), isListed, &fileList)) {
    return false;
  }
  fileList.erase(fileList.begin(),
                 fileList.begin() + static_cast<std::ptrdiff_t>(earlier));
  const bool workIsPackageDir = sameDirectory(pksPath, workPath);
  if (workIsPackageDir) dropReplacementNames(&fileList);

  message::foundFiles(fileList.size());
  if (!workIsPackageDir) warnOfPackages(workPath, fileList);
  // Work directories and their users rely on an odd count being refused,
  // whatever the names are.
  if (fileList.size() % 2 != 0) {
    message::oddCount();
    return false;
  }
  return true;
}
