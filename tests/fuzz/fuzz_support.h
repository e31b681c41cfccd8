// What the fuzz targets share: the tool's lines caught, a check that stops
// the run on the first broken property, and the models the targets check
// against, written here from the package layout and the rules the README
// gives users: never from the tool's own helpers or results.
#ifndef QUILLMERE_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define QUILLMERE_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Every target's LLVMFuzzerInitialize sends the tool's lines to a file of
// their own and puts temporary directories on a RAM disk when there is one.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
// What the tool printed since the last call.
std::string takeOutput();

// Reports a broken property on stderr and aborts, which the fuzzer records
// as a finding together with the input.
[[noreturn]] void fuzzFailure(const char* property, const char* file, int line);
#define FUZZ_CHECK(condition)                                      \
  do {                                                             \
    if (!(condition)) fuzzFailure(#condition, __FILE__, __LINE__); \
  } while (false)

// The name a file `name` gets its pre file under, inside the directory; ""
// for a name without a stem.
std::string preFileName(const std::string& name);

// The files the tool keeps beside the package: shaders.spk.tmp, .bak,
// .bak.tmp, .undo, .lock, .orig and the working names (.new~3f2a91c0).
bool isToolName(const std::string& name);

// What an extraction into `workPath` must leave there (name -> bytes) and
// print, for a package of `bytes` at `packagePath`.
struct Extraction {
  std::map<std::string, std::string> files;
  std::string lines;
};
Extraction expectExtraction(const std::string& bytes,
                            const std::string& packagePath,
                            const std::string& workPath);

// A work directory as it is on the disk: its files' bytes by name, and the
// names of its sub-directories.
struct WorkFolder {
  std::map<std::string, std::string> files;
  std::set<std::string> directories;
};
WorkFolder readWorkFolder(const std::string& path);

// What a merge of `work` must do to the package `old` (none with `hadOld`
// false) when no file may grow beyond `limit` bytes. The lines are `head`,
// `entryLines` and `tail`; with `cutShort`, a failed write may end the
// entries' lines early.
struct MergeOutcome {
  bool replaced = false;
  bool keepsOriginal = false;  // the old package also stays as .orig
  std::string package;         // shaders.spk afterwards
  std::string head, entryLines, tail;
  bool cutShort = false;
};
MergeOutcome expectMerge(const WorkFolder& work, const std::string& workPath,
                         bool packageFolder, const std::string& packagePath,
                         bool hadOld, const std::string& old,
                         std::uint64_t limit);
bool printedAsExpected(const MergeOutcome& outcome, const std::string& lines);

// A work directory as bytes, for the merge target. The encoding is lenient:
// every byte string decodes to some directory, so the fuzzer's mutations
// all count.
//
//   byte 0       flags: 1 no work directory, 2 the work directory is the
//                package directory, 4 file sizes are limited (a full disk),
//                8 no package before the merge
//   2 bytes      with flag 4: the limit in units of 16 bytes (LE16)
//   then items, each: kind byte (mod 4), name length byte (mod 64), name;
//     kind 0 (shader and pre file), 2 (pre file only): LE16 pre length
//       (mod 1100) and the pre bytes;
//     kind 0, 1 (shader file only): LE24 shader size (mod 70000).
//     kind 3 is a sub-directory.
struct WorkItem {
  enum Kind { kPair, kShader, kPre, kDirectory };
  Kind kind = kPair;
  std::string name;
  std::string pre;
  std::uint32_t shaderSize = 0;
};

struct WorkDirectory {
  bool missing = false;
  bool isPackageDirectory = false;
  bool limited = false;
  bool noPackage = false;
  std::uint32_t limit = 0;  // bytes, with `limited`
  std::vector<WorkItem> items;
};

std::string encodeWorkDirectory(const WorkDirectory& work);
WorkDirectory decodeWorkDirectory(const std::uint8_t* data, std::size_t size);

#endif  // QUILLMERE_TESTS_FUZZ_FUZZ_SUPPORT_H_
