#include "package/shader_package.h"

void ShaderPackage::extract() {}

void ShaderPackage::writePreFile(const unsigned char* /*data*/,
                                 std::size_t /*length*/,
                                 const std::string& /*name*/) {}

void ShaderPackage::writeShaderFile(const std::string& /*name*/,
                                    std::int32_t /*size*/,
                                    std::FILE* /*package*/) {}
