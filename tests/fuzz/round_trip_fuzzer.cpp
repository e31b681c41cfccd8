// A package that extraction accepts whole, whose working names are distinct
// and come in the order a merge lists them, merges back to the same bytes.
//
// Such a package has the mark a merge writes, an even count of entries (not
// negative) with nothing after the last, shader names ending in ".hlsl" and
// contents a merge takes (0 to 65535 bytes), no name holding ".pre" (the
// listing leaves those out), and its names in the order the listing gives.
// Whether extraction accepted every entry the work directory tells: it must
// hold the package's names and their pre files, and nothing else.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/shader_package.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace {

// Inputs that went all the way through extraction and merge, told at exit:
// most mutations give packages no merge can rebuild.
long roundTrips = 0;

void reportRoundTrips() {
  std::fprintf(stderr, "round trips checked: %ld\n", roundTrips);
}

std::string folded(std::string name) {
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

bool bytesLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(), [](char l, char r) {
        return static_cast<unsigned char>(l) < static_cast<unsigned char>(r);
      });
}

// The order the README gives the listing (NTFS's): the bytes with a-z read
// as A-Z, then, for names equal that way, the plain bytes.
bool listedBefore(const std::string& a, const std::string& b) {
  if (bytesLess(folded(a), folded(b))) return true;
  return folded(a) == folded(b) && bytesLess(a, b);
}

// Before anything touches the disk: can a merge give these bytes back?
bool mergeCanRebuild(const std::string& bytes, const PackageReading& reading) {
  if (!reading.hasHeader || !reading.whole || reading.end != bytes.size() ||
      reading.mark != 1 || reading.entryCount < 0 ||
      reading.entryCount % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < reading.entries.size(); ++i) {
    const PackageEntry& entry = reading.entries[i];
    if (entry.contentSize < 0 || entry.contentSize >= 65536 ||
        !endsWith(entry.name, ".hlsl") ||
        entry.name.find(".pre") != std::string::npos ||
        (i > 0 && !listedBefore(reading.entries[i - 1].name, entry.name))) {
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

  std::set<std::string> expected;
  for (const PackageEntry& entry : reading.entries) {
    expected.insert(entry.name);
    expected.insert(preFileName(entry.name));
  }
  std::set<std::string> extracted;
  for (const auto& item : std::filesystem::directory_iterator(work)) {
    extracted.insert(item.path().filename().string());
  }
  if (extracted != expected) return 0;

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
