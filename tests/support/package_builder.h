#ifndef QUILLMERE_TESTS_SUPPORT_PACKAGE_BUILDER_H_
#define QUILLMERE_TESTS_SUPPORT_PACKAGE_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

// One entry as the package stores it. `name` holds UTF-16 code units;
// `nameLength` and `contentSize` default to the true counts but may be set to
// anything, so tests can build damaged packages.
struct TestEntry {
  std::uint32_t word0 = 0;
  std::uint32_t word1 = 0;
  std::vector<std::uint16_t> name;
  std::string content;
  bool overrideNameLength = false;
  std::int32_t nameLength = 0;
  bool overrideContentSize = false;
  std::int32_t contentSize = 0;
};

// An entry whose name's code units are the bytes of `name`.
TestEntry makeEntry(const std::string& name, const std::string& content,
                    std::uint32_t word0 = 0, std::uint32_t word1 = 0);

// The header bytes of an entry, as its pre file holds them.
std::string entryHeaderBytes(const TestEntry& entry);
std::string entryBytes(const TestEntry& entry);
std::string le32(std::uint32_t value);

// A whole package: header (mark, count) then the entries back to back. The
// count defaults to entries.size().
std::string buildPackage(const std::vector<TestEntry>& entries);
std::string buildPackage(const std::vector<TestEntry>& entries,
                         std::int32_t entryCount, std::uint32_t mark = 1);

#endif  // QUILLMERE_TESTS_SUPPORT_PACKAGE_BUILDER_H_
