// A package that extraction accepts whole, whose working names are distinct
// and come in the order a merge lists them, merges back to the same bytes.
//
// Such a package has the mark a merge writes, an even count of entries (not
// negative) with nothing after the last, shader names ending in ".hlsl" and
// contents a merge takes (0 to 65535 bytes). Whether extraction accepted
// every entry, and whether the listing gives the package's order, the work
// directory tells: it must list exactly the package's names, in that order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "package/format.h"
#include "package/shader_package.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

bool everyName(const std::string&) { return true; }

// Inputs that went all the way through extraction and merge, told at exit:
// most mutations give packages no merge can rebuild.
long roundTrips = 0;

void reportRoundTrips() {
  std::fprintf(stderr, "round trips checked: %ld\n", roundTrips);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Before anything touches the disk: can a merge give these bytes back?
bool mergeCanRebuild(const std::string& bytes, const PackageReading& reading) {
  if (!reading.hasHeader || !reading.whole || reading.end != bytes.size() ||
      reading.mark != format::kPackageMark || reading.entryCount < 0 ||
      reading.entryCount % 2 != 0) {
    return false;
  }
  for (const PackageEntry& entry : reading.entries) {
    if (entry.contentSize < 0 ||
        entry.contentSize >= format::kShaderFileSizeLimit ||
        !endsWith(entry.name, format::kShaderSuffix)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareFuzzProcess();
  std::atexit(reportRoundTrips);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const PackageReading reading = readPackage(bytes);
  if (!mergeCanRebuild(bytes, reading)) return 0;

  TempDir dir;
  const std::string pkg = dir.file("pkg");
  const std::string work = dir.file("work");
  FUZZ_CHECK(makeDirectory(pkg));
  FUZZ_CHECK(makeDirectory(work));
  FUZZ_CHECK(writeFile(pkg + "/shaders.spk", bytes));
  ShaderPackage package;
  package.setPaths(pkg, work);
  package.extract();

  std::deque<std::string> names;
  FUZZ_CHECK(platform::listDirectory(searchPattern(work), everyName, &names));
  std::vector<std::string> listed;
  for (const std::string& name : names) {
    if (name.find(format::kPreSuffix) == std::string::npos && name != "." &&
        name != "..") {
      listed.push_back(name);
    }
  }
  std::vector<std::string> packaged;
  for (const PackageEntry& entry : reading.entries) {
    packaged.push_back(entry.name);
  }
  if (listed != packaged) return 0;

  package.merge();
  std::fflush(stdout);
  std::string merged;
  FUZZ_CHECK(readFile(pkg + "/shaders.spk", &merged));
  FUZZ_CHECK(merged == bytes);
  // The package it replaced is kept beside it.
  FUZZ_CHECK(readFile(pkg + "/shaders.spk.bak", &merged));
  FUZZ_CHECK(merged == bytes);
  ++roundTrips;
  return 0;
}
