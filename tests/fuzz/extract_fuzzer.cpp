// Extraction of an arbitrary package. After every input, nothing outside
// the work directory exists or changed, and the work directory holds only
// regular files that the package names, each with bytes of an entry of that
// name: a whole content for a shader file, a whole entry header for a pre
// file. A cut entry leaves nothing behind.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/shader_package.h"
#include "support/temp_dir.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareFuzzProcess();
  return 0;
}

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

  ShaderPackage package;
  package.setPaths(dir.path(), work);
  package.extract();
  std::fflush(stdout);

  FileTree outside = listTree(dir.path());
  FileTree written;
  const std::string inWork = "work/";
  for (auto it = outside.begin(); it != outside.end();) {
    if (it->first.compare(0, inWork.size(), inWork) == 0) {
      written[it->first.substr(inWork.size())] = it->second;
      it = outside.erase(it);
    } else {
      ++it;
    }
  }
  FUZZ_CHECK(outside == before);

  // The bytes each file name may hold, from every whole entry.
  std::map<std::string, std::set<std::string>> named;
  for (const PackageEntry& entry : readPackage(bytes).entries) {
    named[entry.name].insert(entry.content);
    const std::string pre = preFileName(entry.name);
    if (!pre.empty()) named[pre].insert(entry.header);
  }
  for (const auto& [name, contents] : written) {
    FUZZ_CHECK(std::filesystem::is_regular_file(
        std::filesystem::symlink_status(work + "/" + name)));
    const auto allowed = named.find(name);
    FUZZ_CHECK(allowed != named.end());
    FUZZ_CHECK(allowed->second.count(contents) == 1);
  }
  return 0;
}
