#include "package/written_files.h"

#include "package/shader_package.h"

WrittenFiles::WrittenFiles(const platform::File& package,
                           const std::string& workPath)
    : workPath_(workPath),
      havePackage_(platform::identify(package, &package_)) {}

WrittenFiles::Clash WrittenFiles::clashOf(const platform::FileId& id) {
  if (havePackage_ && id == package_) return Clash::kPackage;
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
