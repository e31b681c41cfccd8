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

std::string preFilePath(const std::string& shaderPath) {
  return platform::replaceTail(shaderPath, format::kStemCut,
                               format::kPreSuffix);
}
