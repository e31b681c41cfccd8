// Writes the fuzz targets' seeds: valid, cut and damaged packages, odd
// names, boundary sizes, and work folders for the merge.
// Usage: quillmere_fuzz_seeds DIRECTORY   (makes extract/, merge/, round_trip/)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Corpus {
  std::string directory;
  int count = 0;
  bool ok = true;

  void add(const std::string& bytes) {
    char name[32];
    std::snprintf(name, sizeof name, "/seed-%03d", count++);
    ok = writeFile(directory + name, bytes) && ok;
  }
};

TestEntry withNameLength(TestEntry entry, std::int32_t nameLength) {
  entry.overrideNameLength = true;
  entry.nameLength = nameLength;
  return entry;
}

TestEntry withContentSize(TestEntry entry, std::int32_t contentSize) {
  entry.overrideContentSize = true;
  entry.contentSize = contentSize;
  return entry;
}

// A name of `units` code units that ends in ".hlsl".
std::string paddedName(std::size_t units) {
  return std::string(units - 5, 'n') + ".hlsl";
}

// Packages both extraction targets start from. Most have their entries in
// the order a merge lists them, so the round trip can take them whole.
std::vector<std::string> packageSeeds() {
  const TestEntry a = makeEntry("a.hlsl", "float4 main() : SV_Target;\n", 7, 8);
  const TestEntry b = makeEntry("b.hlsl", std::string("\0\xFF\r\n", 4));
  std::vector<std::string> seeds = {
      "",
      le32(1),
      buildPackage({}),
      buildPackage({a}, -1),
      buildPackage({a}, INT32_MIN),
      buildPackage({a, b}),
      buildPackage({a, b}, 3),
      buildPackage({a}, 2),
      buildPackage({a, b}) + "trailing",
      buildPackage({a, b}, 2, 0),
  };
  // Cut at every field of the second entry and in its content.
  const std::string whole = buildPackage({a, b});
  const std::size_t second = 8 + entryBytes(a).size();
  for (std::size_t cut : {std::size_t{4}, second + 6, second + 12, second + 20,
                          second + 30, whole.size() - 1}) {
    seeds.push_back(whole.substr(0, cut));
  }
  // Boundary name lengths, as the name's true length and as a claim only.
  for (std::size_t units : {56, 57, 504, 505}) {
    seeds.push_back(buildPackage(
        {makeEntry(paddedName(units), "x"), makeEntry("zz.hlsl", "z")}));
    seeds.push_back(
        buildPackage({withNameLength(a, static_cast<std::int32_t>(units)), b}));
  }
  seeds.push_back(buildPackage({withNameLength(a, -1), b}));
  seeds.push_back(buildPackage({withNameLength(a, INT32_MAX), b}));
  // Boundary content sizes, true and claimed.
  for (std::size_t size : {0, 65535, 65536}) {
    seeds.push_back(buildPackage({makeEntry("big.hlsl", std::string(size, 'c')),
                                  makeEntry("c.hlsl", "")}));
  }
  seeds.push_back(buildPackage({withContentSize(a, -5), b}));
  seeds.push_back(buildPackage({withContentSize(a, INT32_MAX), b}));
  seeds.push_back(buildPackage({a, withContentSize(b, 65536)}));
  // Odd names: too short, leading out, separators, controls, code units
  // above 255, zero low bytes, ".pre" inside, device names (one only in the
  // pre file's name), duplicates, case pairs.
  for (const char* name :
       {"", "a", "abcd", ".", "..", ".hlsl", "../sentinel.hlsl",
        "..\\sentinel.hlsl", "sub/x.hlsl", "C:x.hlsl", "tab\tx.hlsl",
        "sky.prepass.hlsl", "x.PRE", "shaders.spk", "a.HLSL", "a.hlsl",
        "CON .x.hlsl", "com\xB9.hlsl", "CONxhlsl",
        // Names that would forge a line or steer the terminal, the lowest
        // byte a name may hold, names Windows takes for another file, ports.
        "a*?.hlsl", "a\x1f.hlsl", "del\x7f.hlsl",
        "x\nwritten 9 bytes to 'y'\n.hlsl", "\x1b[2J.hlsl", "a b.hlsl",
        "a.hlsl.", "a.hlsl ", "nul.hlsl", "AUX.hlsl", "prn.x.hlsl",
        "lpt9.hlsl"}) {
    seeds.push_back(buildPackage({makeEntry(name, "odd"), b}));
  }
  // Working names from the low bytes: a high byte dropped, a zero low byte
  // ending the name early while the pre file keeps all 504 units.
  TestEntry wide = makeEntry("", "w");
  wide.name = {0x0141, '.', 'h', 'l', 's', 'l'};
  seeds.push_back(buildPackage({wide, b}));
  TestEntry longest = makeEntry("long.hlsl", "l");
  longest.name.resize(504, 0x0100);
  seeds.push_back(buildPackage({longest, b}));
  TestEntry zeroInside = makeEntry("ab cd.hlsl", "z");
  zeroInside.name[2] = 0x0300;
  seeds.push_back(buildPackage({a, zeroInside}));
  seeds.push_back(buildPackage({makeEntry("A.hlsl", "upper"), a}));
  seeds.push_back(buildPackage({a, makeEntry("a.hlsl", "again")}));
  return seeds;
}

// A well-formed pre file for `name`, claiming a stale size.
std::string preFor(const std::string& name) {
  return entryHeaderBytes(withContentSize(makeEntry(name, ""), 7777));
}

WorkItem pair(const std::string& name, std::uint32_t size) {
  return {WorkItem::kPair, name, preFor(name), size};
}

std::vector<std::string> mergeSeeds() {
  std::vector<WorkDirectory> seeds;
  seeds.push_back({});
  WorkDirectory two;
  two.items = {pair("a.hlsl", 100), pair("b.hlsl", 140)};
  seeds.push_back(two);
  for (std::uint32_t size : {0, 65535, 65536}) {
    WorkDirectory sized;
    sized.items = {pair("a.hlsl", size), pair("b.hlsl", 1)};
    seeds.push_back(sized);
  }
  // Pre files: too small, smallest, extraction's own, the largest taken,
  // too large, and headers that disagree with their own length.
  std::vector<std::string> pres = {"abc", "abcd", preFor("a.hlsl"),
                                   std::string(1024, 'p'),
                                   std::string(1025, 'p')};
  for (std::size_t units : {56, 57, 504, 505}) {
    pres.push_back(preFor(paddedName(units)));
  }
  for (std::size_t cut : {15, 20, 27}) {
    pres.push_back(preFor("a.hlsl").substr(0, cut));
  }
  pres.push_back(preFor("a.hlsl") + "xx");
  pres.push_back(entryHeaderBytes(withNameLength(makeEntry("", ""), -3)));
  for (const std::string& pre : pres) {
    WorkDirectory odd;
    odd.items = {pair("a.hlsl", 10), pair("b.hlsl", 10)};
    odd.items[0].pre = pre;
    seeds.push_back(odd);
  }
  WorkDirectory names;
  names.items = {pair("a.hlsl", 3),
                 {WorkItem::kShader, "ab", "", 2},
                 {WorkItem::kDirectory, "backup", "", 0},
                 {WorkItem::kDirectory, ".svn", "", 0},
                 {WorkItem::kDirectory, ".SVN", "", 0},
                 {WorkItem::kShader, "x.PRE", "", 1},
                 {WorkItem::kShader, "sky.prepass.hlsl", "", 1},
                 pair("notes.txt", 9),
                 {WorkItem::kPre, "note.hlsl", preFor("note.hlsl"), 0},
                 {WorkItem::kShader, "note.hlsl", "", 4}};
  seeds.push_back(names);
  // A pre file that is a directory.
  names.items = {pair("a.hlsl", 3),
                 {WorkItem::kShader, "dir.hlsl", "", 2},
                 {WorkItem::kDirectory, "dir.pre", "", 0}};
  seeds.push_back(names);
  WorkDirectory oddCount;
  oddCount.items = {pair("a.hlsl", 5)};
  seeds.push_back(oddCount);
  WorkDirectory missing = two;
  missing.missing = true;
  seeds.push_back(missing);
  WorkDirectory shared = two;
  shared.isPackageDirectory = true;
  seeds.push_back(shared);
  for (WorkDirectory* first : {&two, &shared}) {
    first->noPackage = true;
    seeds.push_back(*first);
  }
  shared.items.push_back(
      WorkItem{WorkItem::kPre, "shaders.spk", preFor("s"), 0});
  seeds.push_back(shared);
  // Full disks: before the header, inside an entry, beyond the package.
  for (std::uint32_t limit : {0, 16, 160, 1600, 1048560}) {
    WorkDirectory full;
    full.items = {pair("a.hlsl", 300), pair("b.hlsl", 3000)};
    full.limited = true;
    full.limit = limit;
    seeds.push_back(full);
  }
  std::vector<std::string> bytes;
  for (const WorkDirectory& seed : seeds) {
    bytes.push_back(encodeWorkDirectory(seed));
  }
  return bytes;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  std::error_code ec;
  Corpus extract{root + "/extract"};
  Corpus merge{root + "/merge"};
  Corpus roundTrip{root + "/round_trip"};
  for (Corpus* corpus : {&extract, &merge, &roundTrip}) {
    fs::remove_all(corpus->directory, ec);
    fs::create_directories(corpus->directory, ec);
  }
  for (const std::string& seed : packageSeeds()) {
    extract.add(seed);
    roundTrip.add(seed);
  }
  for (const std::string& seed : mergeSeeds()) merge.add(seed);
  if (!extract.ok || !merge.ok || !roundTrip.ok) {
    std::fprintf(stderr, "cannot write the seeds under %s\n", root.c_str());
    return 1;
  }
  std::printf("%d extract, %d merge, %d round_trip seeds in %s\n",
              extract.count, merge.count, roundTrip.count, root.c_str());
  return 0;
}
