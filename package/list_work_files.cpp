#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "package/format.h"
#include "package/shader_package.h"
#include "platform/platform.h"

namespace {

// Names the merge never packs: the directory's own entries, a Subversion
// working copy's bookkeeping, and every pre file (or anything named like
// one, such as a backup a.pre.bak). Both tests are case-sensitive.
bool isSkipped(const std::string& name) {
  if (name == "." || name == ".." || name == ".svn") return true;
  return name.find(format::kPreSuffix) != std::string::npos;
}

}  // namespace

bool ShaderPackage::listWorkFiles() {
  std::vector<std::string> names;
  if (!platform::listDirectory(searchPattern(workPath), &names)) return false;

  // The order is the directory's; nothing here sorts.
  fileList.clear();
  for (std::string& name : names) {
    if (!isSkipped(name)) fileList.push_back(std::move(name));
  }

  std::printf("Found %i files\n", static_cast<int>(fileList.size()));
  // Work directories and their users rely on an odd count being refused,
  // whatever the names are.
  if (fileList.size() % 2 != 0) {
    std::printf("Expected an even number of files in work path, aborting\n");
    return false;
  }
  return true;
}
