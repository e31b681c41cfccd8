// Extraction of an arbitrary package. After every input, nothing outside
// the work directory exists or changed, the work directory holds exactly the
// files the package's layout and the name rule give (a shader file with the
// content, a pre file with the entry header, for each whole entry whose name
// passes and no earlier entry took) over those of an earlier extraction, and
// the tool printed exactly the lines that tell so, up to where it stops.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/shader_package.h"
#include "support/temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  TempDir dir;
  const std::string work = dir.file("work");
  FUZZ_CHECK(writeFile(dir.file("shaders.spk"), bytes));
  FUZZ_CHECK(makeDirectory(work));
  // Beside the work directory, files a name leading out of it would hit:
  // "../sentinel.hlsl" and its pre file, and the pre file of a name without
  // a stem, which the stem rule puts at the work directory's path cut short.
  for (const char* sentinel : {"sentinel.hlsl", "sentinel.pre", "wor.pre"}) {
    FUZZ_CHECK(writeFile(dir.file(sentinel), sentinel));
  }
  const FileTree before = listTree(dir.path());
  // Files of an earlier extraction, longer than the seeds' b.hlsl: only a
  // whole entry may replace them, and then no old byte is left.
  std::map<std::string, std::string> earlier;
  for (const char* name : {"b.hlsl", "b.pre"}) {
    earlier[name] = std::string(100, 'o');
    FUZZ_CHECK(writeFile(work + "/" + name, earlier[name]));
  }

  ShaderPackage package;
  package.setPaths(dir.path(), work);
  package.extract();

  // Everything but the work directory's files ("0" follows "/") as it was.
  FileTree outside = listTree(dir.path());
  outside.erase(outside.lower_bound("work/"), outside.lower_bound("work0"));
  FUZZ_CHECK(outside == before);
  Extraction expected = expectExtraction(bytes, dir.file("shaders.spk"), work);
  expected.files.insert(earlier.begin(), earlier.end());
  FUZZ_CHECK(listTree(work) == expected.files);
  FUZZ_CHECK(takeOutput() == expected.lines);
  return 0;
}
