// Merge of a work directory built from the input (see WorkDirectory). The
// package, its backups and the lines printed must be what the merge model
// gives from the folder as it is on the disk; nothing else may change.
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <limits>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/shader_package.h"
#include "support/temp_dir.h"

namespace {

// Not a package any merge writes: those start with the mark 1.
const char kOldPackage[] = "old package bytes, never to be lost";

// A shader file's bytes: a pattern that differs from item to item.
std::string shaderContent(std::size_t index, std::uint32_t size) {
  std::string content(size, '\0');
  for (std::uint32_t i = 0; i < size; ++i) {
    content[i] = static_cast<char>((i * 31 + index * 7 + 1) % 251);
  }
  return content;
}

void buildWorkDirectory(const WorkDirectory& input, const std::string& pkg,
                        const std::string& work) {
  for (std::size_t i = 0; i < input.items.size(); ++i) {
    const WorkItem& item = input.items[i];
    if (item.name.empty() || item.name == "." || item.name == "..") continue;
    // The merge writes its new package and keeps the old one under names
    // of its own beside the package (the README says so), so they are not
    // the user's to keep there; nor is a folder in the package's place.
    if (work == pkg &&
        (isToolName(item.name) ||
         (item.kind == WorkItem::kDirectory && item.name == "shaders.spk"))) {
      continue;
    }
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const WorkDirectory input = decodeWorkDirectory(data, size);
  TempDir dir;
  const std::string pkg = dir.file("pkg");
  const std::string work = input.isPackageDirectory ? pkg : dir.file("work");
  FUZZ_CHECK(makeDirectory(pkg));
  if (!input.noPackage)
    FUZZ_CHECK(writeFile(pkg + "/shaders.spk", kOldPackage));
  if (!input.missing) {
    if (work != pkg) FUZZ_CHECK(makeDirectory(work));
    buildWorkDirectory(input, pkg, work);
  }
  FileTree before = listTree(dir.path());
  const bool hadOld = before.count("pkg/shaders.spk") != 0;
  const std::string old = before["pkg/shaders.spk"];
  if (!hadOld) before.erase("pkg/shaders.spk");
  MergeOutcome expected;
  expected.head = "Failed enumerating files\n";
  expected.package = old;
  if (!input.missing || work == pkg) {
    expected =
        expectMerge(readWorkFolder(work), work, input.isPackageDirectory,
                    pkg + "/shaders.spk", hadOld, old,
                    input.limited ? input.limit
                                  : std::numeric_limits<std::uint64_t>::max());
  }

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
  FUZZ_CHECK(setrlimit(RLIMIT_FSIZE, &unlimited) == 0);
  std::signal(SIGXFSZ, fuzzerHandler);

  FUZZ_CHECK(printedAsExpected(expected, takeOutput()));
  // Beside the new package, the one it replaced as the backup and, if it
  // had entries, as the original; nothing else changed.
  if (expected.replaced) {
    before["pkg/shaders.spk"] = expected.package;
    if (hadOld) before["pkg/shaders.spk.bak"] = old;
    if (expected.keepsOriginal) before["pkg/shaders.spk.orig"] = old;
  }
  FUZZ_CHECK(listTree(dir.path()) == before);
  return 0;
}
