#include "package/shader_package.h"

void ShaderPackage::merge() {}

void ShaderPackage::writeHeader(std::FILE* /*package*/) {}

long ShaderPackage::getFileSize(const std::string& /*path*/) { return -1; }
