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
  std::size_t keep = shaderPath.size() > format::kStemCut
                         ? shaderPath.size() - format::kStemCut
                         : 0;
  return shaderPath.substr(0, keep) + format::kPreSuffix;
}

std::string shaderFilePath(const std::string& prePath) {
  std::size_t keep = prePath.size() > format::kPreSuffixLength
                         ? prePath.size() - format::kPreSuffixLength
                         : 0;
  return prePath.substr(0, keep) + format::kShaderSuffix;
}
