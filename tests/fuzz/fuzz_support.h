// What the fuzz targets share: a quiet process, a check that stops the run
// on the first broken property, an independent reading of package bytes, and
// the byte encoding of a work directory for the merge target.
#ifndef QUILLMERE_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define QUILLMERE_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Sends the tool's lines to the null device (a fuzzer runs it millions of
// times) and puts temporary directories on a RAM disk when there is one.
// Called once, before the first input.
void prepareFuzzProcess();

// Reports a broken property on stderr and aborts, which the fuzzer records
// as a finding together with the input.
[[noreturn]] void fuzzFailure(const char* property, const char* file, int line);
#define FUZZ_CHECK(condition)                                      \
  do {                                                             \
    if (!(condition)) fuzzFailure(#condition, __FILE__, __LINE__); \
  } while (false)

// One whole entry of a package, read by the layout alone: none of the
// tool's rules about names or sizes applies here.
struct PackageEntry {
  std::string header;  // the entry header bytes, as a pre file holds them
  std::string name;    // the working name: low bytes up to the first zero
  std::int32_t nameLength = 0;
  std::int32_t contentSize = 0;
  std::string content;
};

struct PackageReading {
  bool hasHeader = false;
  std::uint32_t mark = 0;
  std::int32_t entryCount = 0;
  std::vector<PackageEntry> entries;  // the whole ones, up to the first cut
  bool whole = false;                 // every counted entry is there
  std::size_t end = 0;                // offset after the last whole entry
};

PackageReading readPackage(const std::string& bytes);

// The name a file `name` gets its pre file under, inside the directory; ""
// for a name without a stem.
std::string preFileName(const std::string& name);

// A work directory as bytes, for the merge target. The encoding is lenient:
// every byte string decodes to some directory, so the fuzzer's mutations
// all count.
//
//   byte 0       flags: 1 no work directory, 2 the work directory is the
//                package directory, 4 file sizes are limited (a full disk)
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
  std::uint32_t limit = 0;  // bytes, with `limited`
  std::vector<WorkItem> items;
};

constexpr std::size_t kMaxWorkItems = 16;
constexpr std::uint32_t kLimitUnit = 16;

std::string encodeWorkDirectory(const WorkDirectory& work);
WorkDirectory decodeWorkDirectory(const std::uint8_t* data, std::size_t size);

// The bytes of the shader file of item `index` with `size` bytes: a pattern
// that differs from item to item.
std::string shaderContent(std::size_t index, std::uint32_t size);

#endif  // QUILLMERE_TESTS_FUZZ_FUZZ_SUPPORT_H_
