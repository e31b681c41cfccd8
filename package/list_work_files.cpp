#include <cstdio>
#include <string>

#include "package/format.h"
#include "package/shader_package.h"
#include "platform/platform.h"

namespace {

// Names the merge never packs: the directory's own entries, a Subversion
// working copy's bookkeeping, and every pre file (or anything named like
// one, such as a backup a.pre.bak). Both tests are case-sensitive.
bool isListed(const std::string& name) {
  if (name == "." || name == ".." || name == ".svn") return false;
  return name.find(format::kPreSuffix) == std::string::npos;
}

}  // namespace

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

  std::printf("Found %i files\n", static_cast<int>(fileList.size()));
  // Work directories and their users rely on an odd count being refused,
  // whatever the names are.
  if (fileList.size() % 2 != 0) {
    std::printf("Expected an even number of files in work path, aborting\n");
    return false;
  }
  return true;
}
