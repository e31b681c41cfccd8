#include "package/written_files.h"

#include "package/format.h"
#include "package/shader_package.h"

WrittenFiles::WrittenFiles(const platform::File& package,
                           const std::string& pksPath,
                           const std::string& workPath)
    : pksPath_(pksPath),
      workPath_(workPath),
      havePackage_(platform::identify(package, &package_)),
      inPackageDir_(sameDirectory(pksPath, workPath)) {}

bool WrittenFiles::besidePackage(const std::string& name) const {
  if (!inPackageDir_) return false;
  std::string folded = name;
  for (char& c : folded) c = platform::lowerAscii(c);
  return platform::isReplacementName(folded, format::kPackageFileName) ||
         platform::isReplacementName(name, format::kPackageFileName);
}

WrittenFiles::Clash WrittenFiles::clashOf(const platform::FileId& id) {
  if (havePackage_ && id == package_) return Clash::kPackage;
  // The files users keep: the ones a merge leaves only for a moment are
  // known by name alone.
  if (!toolFilesKnown_) {
    toolFilesKnown_ = true;
    for (const char* suffix : {".bak", ".orig"}) {
      platform::FileId toolId;
      if (platform::identifyPath(packageFilePath(pksPath_) + suffix, &toolId)) {
        toolFiles_.insert(toolId);
      }
    }
  }
  if (toolFiles_.count(id) != 0) return Clash::kToolFile;
  // Each created file is identified once, the first time it matters. One
  // that has gone since (a failed write) is nobody's.
  for (const std::string& name : created_) {
    const std::string shaderPath = workFilePath(workPath_, name);
    const std::string prePath = preFilePath(shaderPath);
    for (const std::string* path : {&prePath, &shaderPath}) {
      platform::FileId createdId;
      if (platform::identifyPath(*path, &createdId)) ids_.insert(createdId);
    }
  }
  created_.clear();
  return ids_.count(id) != 0 ? Clash::kEarlierEntry : Clash::kNone;
}
