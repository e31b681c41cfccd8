#include "package/shader_package.h"

bool ShaderPackage::listWorkFiles() { return false; }
