// The one object a run works through: the two directories of the run, the
// work files a merge still has to pack, and every operation of the tool.
#ifndef QUILLMERE_PACKAGE_SHADER_PACKAGE_H_
#define QUILLMERE_PACKAGE_SHADER_PACKAGE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/platform.h"

class ShaderPackage {
 public:
  // Replaces both directories; called once, before extract or merge.
  void setPaths(const std::string& packageDir, const std::string& workDir);

  // Unpacks shaders.spk into a pre file and a shader file per entry.
  void extract();
  // Fills fileList with the names a merge packs; false refuses the merge.
  bool listWorkFiles();
  // Rebuilds shaders.spk from the work directory.
  void merge();
  // Writes the package header announcing fileList.size() entries.
  bool writeHeader(platform::Replacement* package);

  std::string pksPath;
  std::string workPath;
  std::deque<std::string> fileList;
};

// The line after a listing refused for its odd count of `names`: which
// listed names have no pre file of their own, or that the shaders are odd.
void explainOddCount(const std::string& workPath,
                     const std::deque<std::string>& names);

// Paths are joined by plain concatenation: no separator is added, removed or
// converted, so whatever the user typed reaches the file system unchanged.
std::string packageFilePath(const std::string& pksPath);
std::string workFilePath(const std::string& workPath, const std::string& name);
std::string searchPattern(const std::string& workPath);

// Whether the two folders are one, however each is spelt or linked; false
// when either cannot be identified.
bool sameDirectory(const std::string& pksPath, const std::string& workPath);

// The stem rule. A pre file's path is its shader file's path with the last
// five bytes (".hlsl") replaced by ".pre", bytes as the name rules count
// them (platform::ruleSpelling: the ANSI bytes on Windows). It looks for no
// dot, so it is only safe for names that pass isSafeName()
// (package/work_name.h), which are five such bytes or longer.
std::string preFilePath(const std::string& shaderPath);

#endif  // QUILLMERE_PACKAGE_SHADER_PACKAGE_H_
