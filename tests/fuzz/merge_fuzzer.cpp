// Merge of a work directory built from the input: names, pre file bytes,
// shader sizes, sub-directories, a missing work directory, the package
// directory as work directory, and a file size limit that plays a full disk.
// After every input the work directory and everything beside the package
// are as they were (no temporary file left), but for the backup a merge that
// replaced the package keeps of it; a refused merge, and a failed one, leave
// the old package byte for byte; any package written parses
// whole, its header counting exactly the entries that follow, each built
// from a pre file and the start of a work file.
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/shader_package.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

namespace fs = std::filesystem;

// Not a package any merge writes: those start with the mark 1.
const char kOldPackage[] = "old package bytes, never to be lost";

// The files a merge keeps beside the package while it replaces it.
bool isReplacementName(const std::string& name) {
  for (const char* suffix : {".tmp", ".bak", ".bak.tmp", ".undo", ".lock", ".orig"}) {
    if (name == std::string("shaders.spk") + suffix) return true;
  }
  return false;
}

void buildWorkDirectory(const WorkDirectory& input, const std::string& pkg,
                        const std::string& work) {
  for (std::size_t i = 0; i < input.items.size(); ++i) {
    const WorkItem& item = input.items[i];
    if (item.name.empty() || item.name == "." || item.name == "..") continue;
    // The merge writes its new package and keeps the old one under names
    // of its own beside the package (the README says so), so they are not
    // the user's to keep there.
    if (work == pkg && isReplacementName(item.name)) continue;
    // A name may clash with an earlier item; whatever exists is what the
    // merge sees and what the checks read back.
    const std::string path = work + "/" + item.name;
    if (item.kind == WorkItem::kDirectory) makeDirectory(path);
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kShader) {
      writeFile(path, shaderContent(i, item.shaderSize));
    }
    const std::string pre = preFileName(item.name);
    if (!pre.empty() &&
        (item.kind == WorkItem::kPair || item.kind == WorkItem::kPre)) {
      writeFile(work + "/" + pre, item.pre);
    }
  }
}

// The names a merge packs, as the README tells its users: every name in the
// work directory but ".svn" and those holding ".pre" anywhere. Counted from
// the directory as std::filesystem lists it, with the texts spelt out here.
std::size_t countListed(const std::string& work) {
  std::size_t listed = 0;
  for (const auto& item : fs::directory_iterator(work)) {
    const std::string name = item.path().filename().string();
    if (name != ".svn" && name.find(".pre") == std::string::npos) ++listed;
  }
  return listed;
}

// `files` holds the work directory's files, `listed` the names it lists.
void checkMergedPackage(const std::string& bytes, const FileTree& files,
                        std::size_t listed) {
  const PackageReading reading = readPackage(bytes);
  FUZZ_CHECK(reading.hasHeader);
  FUZZ_CHECK(reading.mark == 1);
  FUZZ_CHECK(reading.whole);
  FUZZ_CHECK(reading.end == bytes.size());
  FUZZ_CHECK(reading.entryCount >= 0);
  FUZZ_CHECK(reading.entries.size() <= listed);
  for (const PackageEntry& entry : reading.entries) {
    FUZZ_CHECK(entry.contentSize >= 0 && entry.contentSize < 65536);
    // All but the size field come from the pre file unchanged.
    const std::size_t fixed = entry.header.size() - 4;
    bool fromPreFile = false;
    bool fromWorkFile = false;
    for (const auto& [name, data] : files) {
      fromPreFile =
          fromPreFile || (data.size() == entry.header.size() &&
                          data.compare(0, fixed, entry.header, 0, fixed) == 0);
      fromWorkFile = fromWorkFile || startsWith(data, entry.content);
    }
    FUZZ_CHECK(fromPreFile);
    FUZZ_CHECK(fromWorkFile);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareFuzzProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const WorkDirectory input = decodeWorkDirectory(data, size);
  TempDir dir;
  const std::string pkg = dir.file("pkg");
  const std::string work = input.isPackageDirectory ? pkg : dir.file("work");
  FUZZ_CHECK(makeDirectory(pkg));
  FUZZ_CHECK(writeFile(pkg + "/shaders.spk", kOldPackage));
  if (!input.missing) {
    if (work != pkg) FUZZ_CHECK(makeDirectory(work));
    buildWorkDirectory(input, pkg, work);
  }
  FileTree before = listTree(dir.path());
  const std::size_t listed = input.missing ? 0 : countListed(work);
  const bool refused = input.missing || listed % 2 != 0;

  // A write beyond the limit then fails with EFBIG, as on a full disk. The
  // fuzzer catches SIGXFSZ itself, so the signal is ignored only here.
  rlimit unlimited;
  FUZZ_CHECK(getrlimit(RLIMIT_FSIZE, &unlimited) == 0);
  void (*fuzzerHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  if (input.limited) {
    rlimit limit = {input.limit, unlimited.rlim_max};
    FUZZ_CHECK(setrlimit(RLIMIT_FSIZE, &limit) == 0);
  }
  ShaderPackage package;
  package.setPaths(pkg, work);
  package.merge();
  std::fflush(stdout);
  FUZZ_CHECK(setrlimit(RLIMIT_FSIZE, &unlimited) == 0);
  std::signal(SIGXFSZ, fuzzerHandler);

  FileTree after = listTree(dir.path());
  FileTree files;
  const std::string inWork = input.isPackageDirectory ? "pkg/" : "work/";
  for (const auto& [name, bytes] : before) {
    if (startsWith(name, inWork) && bytes != "<dir>") files[name] = bytes;
  }
  // A shader file named shaders.spk in the package directory replaced the
  // old package before the merge began.
  const std::string old = before["pkg/shaders.spk"];
  const std::string result = after["pkg/shaders.spk"];
  after.erase("pkg/shaders.spk");
  before.erase("pkg/shaders.spk");
  // Only a merge that replaced the package keeps the old one as the backup.
  const auto backup = after.find("pkg/shaders.spk.bak");
  const bool replaced = !refused && (!input.limited || result != old);
  FUZZ_CHECK((backup != after.end()) == replaced);
  if (replaced) {
    FUZZ_CHECK(backup->second == old);
    after.erase(backup);
  }
  // The first package replaced stays as the original.
  const auto original = after.find("pkg/shaders.spk.orig");
  if (original != after.end()) {
    FUZZ_CHECK(replaced && original->second == old);
    after.erase(original);
  }
  FUZZ_CHECK(after == before);

  if (refused) {
    FUZZ_CHECK(result == old);
  } else if (!input.limited || result != old) {
    checkMergedPackage(result, files, listed);
  }
  return 0;
}
