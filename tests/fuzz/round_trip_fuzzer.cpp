// Extraction of an arbitrary package, then a merge of what it wrote back,
// checked against the two models chained. Inputs that come back byte for
// byte are counted, so a run tells how many round trips were whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/shader_package.h"
#include "support/temp_dir.h"

namespace {

long checked = 0;
long unchanged = 0;  // merged back to the very bytes extracted

void reportRoundTrips() {
  std::fprintf(stderr, "round trips checked: %ld, %ld byte for byte\n", checked,
               unchanged);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (checked == 0) std::atexit(reportRoundTrips);
  TempDir dir;
  const std::string pkg = dir.file("pkg");
  const std::string work = dir.file("work");
  FUZZ_CHECK(makeDirectory(pkg));
  FUZZ_CHECK(makeDirectory(work));
  FUZZ_CHECK(writeFile(pkg + "/shaders.spk", bytes));
  ShaderPackage package;
  package.setPaths(pkg, work);
  package.extract();
  const Extraction extraction =
      expectExtraction(bytes, pkg + "/shaders.spk", work);
  FUZZ_CHECK(takeOutput() == extraction.lines);

  package.merge();
  const MergeOutcome merge =
      expectMerge({extraction.files, {}}, work, false, pkg + "/shaders.spk",
                  true, bytes, std::numeric_limits<std::uint64_t>::max());
  FUZZ_CHECK(printedAsExpected(merge, takeOutput()));
  FileTree expected = {{"shaders.spk", merge.package}};
  if (merge.replaced) expected["shaders.spk.bak"] = bytes;
  if (merge.keepsOriginal) expected["shaders.spk.orig"] = bytes;
  FUZZ_CHECK(listTree(pkg) == expected);
  ++checked;
  if (merge.package == bytes) ++unchanged;
  return 0;
}
