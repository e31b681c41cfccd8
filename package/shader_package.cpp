#include "package/shader_package.h"

#include "package/format.h"

void ShaderPackage::setPaths(const std::string& packageDir,
                             const std::string& workDir) {
  pksPath = packageDir;
  workPath = workDir;
}

std::string packageFilePath(const std::string& pksPath) {
  return pksPath + "/" + format::kPackageFileName;
}

std::string workFilePath(const std::string& workPath, const std::string& name) {
  return workPath + "/" + name;
}

std::string searchPattern(const std::string& workPath) {
  return workPath + "/*";
}

namespace {

bool identifyFolder(const std::string& path, platform::FileId* id) {
  // An empty path joins into names at the root.
  if (path.empty()) return platform::identifyPath("/", id);
  return platform::identifyPath(path, id);
}

}  // namespace

bool sameDirectory(const std::string& pksPath, const std::string& workPath) {
  platform::FileId packageDir;
  platform::FileId workDir;
  return identifyFolder(pksPath, &packageDir) &&
         identifyFolder(workPath, &workDir) && packageDir == workDir;
}

std::string preFilePath(const std::string& shaderPath) {
  return platform::replaceTail(shaderPath, format::kStemCut,
                               format::kPreSuffix);
}
