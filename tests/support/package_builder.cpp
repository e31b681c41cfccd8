#include "support/package_builder.h"

TestEntry makeEntry(const std::string& name, const std::string& content,
                    std::uint32_t word0, std::uint32_t word1) {
  TestEntry entry;
  entry.word0 = word0;
  entry.word1 = word1;
  for (unsigned char c : name) entry.name.push_back(c);
  entry.content = content;
  return entry;
}

std::string le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return bytes;
}

std::string entryHeaderBytes(const TestEntry& entry) {
  std::string bytes = le32(entry.word0) + le32(entry.word1);
  std::int32_t nameLength = entry.overrideNameLength
                                ? entry.nameLength
                                : static_cast<std::int32_t>(entry.name.size());
  bytes += le32(static_cast<std::uint32_t>(nameLength));
  for (std::uint16_t unit : entry.name) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  std::int32_t contentSize =
      entry.overrideContentSize
          ? entry.contentSize
          : static_cast<std::int32_t>(entry.content.size());
  bytes += le32(static_cast<std::uint32_t>(contentSize));
  return bytes;
}

std::string entryBytes(const TestEntry& entry) {
  return entryHeaderBytes(entry) + entry.content;
}

std::string buildPackage(const std::vector<TestEntry>& entries) {
  return buildPackage(entries, static_cast<std::int32_t>(entries.size()));
}

std::string buildPackage(const std::vector<TestEntry>& entries,
                         std::int32_t entryCount, std::uint32_t mark) {
  std::string bytes = le32(mark) + le32(static_cast<std::uint32_t>(entryCount));
  for (const TestEntry& entry : entries) bytes += entryBytes(entry);
  return bytes;
}
