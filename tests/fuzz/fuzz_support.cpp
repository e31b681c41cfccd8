#include "fuzz/fuzz_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

void prepareFuzzProcess() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::perror("/dev/null");
    std::abort();
  }
  // Every input creates and removes a directory tree; on a RAM disk that
  // costs no disk traffic. TempDir follows TMPDIR.
  struct stat info;
  if (std::getenv("TMPDIR") == nullptr && stat("/dev/shm", &info) == 0 &&
      S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0) {
    setenv("TMPDIR", "/dev/shm", 0);
  }
}

void fuzzFailure(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
  std::fflush(stderr);
  std::abort();
}

namespace {

// The layout, spelt out here rather than taken from the tool's own header:
// a reading built on the tool's constants and decoders would agree with
// any mistake in them.
constexpr std::size_t kHeaderBytes = 8;  // packageMark, entryCount
constexpr std::size_t kFixedBytes = 12;  // entryWord0, entryWord1, nameLength
constexpr std::size_t kSizeBytes = 4;    // contentSize

std::uint32_t le32At(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

std::int32_t signedLe32At(const std::string& bytes, std::size_t at) {
  const std::int64_t value = le32At(bytes, at);
  return static_cast<std::int32_t>(
      value < 0x80000000LL ? value : value - 0x100000000LL);
}

}  // namespace

PackageReading readPackage(const std::string& bytes) {
  PackageReading reading;
  if (bytes.size() < kHeaderBytes) return reading;
  reading.hasHeader = true;
  reading.mark = le32At(bytes, 0);
  reading.entryCount = signedLe32At(bytes, 4);
  std::size_t at = kHeaderBytes;
  reading.end = at;
  for (std::int32_t i = 0; i < reading.entryCount; ++i) {
    const std::size_t left = bytes.size() - at;
    if (left < kFixedBytes) return reading;
    PackageEntry entry;
    entry.nameLength = signedLe32At(bytes, at + 8);
    const std::size_t units =
        entry.nameLength > 0 ? static_cast<std::size_t>(entry.nameLength) : 0;
    const std::size_t headerSize = kFixedBytes + 2 * units + kSizeBytes;
    if (left < headerSize) return reading;
    entry.contentSize = signedLe32At(bytes, at + headerSize - kSizeBytes);
    const std::size_t contentBytes =
        entry.contentSize > 0 ? static_cast<std::size_t>(entry.contentSize) : 0;
    if (left - headerSize < contentBytes) return reading;
    entry.header = bytes.substr(at, headerSize);
    for (std::size_t unit = 0; unit < units; ++unit) {
      const char low = bytes[at + kFixedBytes + 2 * unit];
      if (low == 0) break;
      entry.name += low;
    }
    entry.content = bytes.substr(at + headerSize, contentBytes);
    reading.entries.push_back(std::move(entry));
    at += headerSize + contentBytes;
    reading.end = at;
  }
  reading.whole = true;
  return reading;
}

std::string preFileName(const std::string& name) {
  // ".hlsl" off, ".pre" on, counted in bytes whatever the name ends in.
  if (name.size() < 5) return "";
  return name.substr(0, name.size() - 5) + ".pre";
}

namespace {

// Reads the merge target's input; past the end every byte reads as zero.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}

  bool atEnd() const { return at_ >= size_; }
  std::uint32_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t le16() { return byte() | (byte() << 8); }
  std::uint32_t le24() { return le16() | (byte() << 16); }
  std::string bytes(std::size_t count) {
    const std::size_t take = count < size_ - at_ ? count : size_ - at_;
    std::string out(reinterpret_cast<const char*>(data_ + at_), take);
    at_ += take;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

constexpr std::uint32_t kMissingFlag = 1;
constexpr std::uint32_t kPackageDirectoryFlag = 2;
constexpr std::uint32_t kLimitedFlag = 4;
constexpr std::size_t kNameLengths = 64;
constexpr std::size_t kPreLengths = 1100;
constexpr std::uint32_t kShaderSizes = 70000;

void appendLe(std::string* out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    *out += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

}  // namespace

std::string encodeWorkDirectory(const WorkDirectory& work) {
  std::string out;
  out +=
      static_cast<char>((work.missing ? kMissingFlag : 0) |
                        (work.isPackageDirectory ? kPackageDirectoryFlag : 0) |
                        (work.limited ? kLimitedFlag : 0));
  if (work.limited) appendLe(&out, work.limit / kLimitUnit, 2);
  for (const WorkItem& item : work.items) {
    out += static_cast<char>(item.kind);
    out += static_cast<char>(item.name.size() % kNameLengths);
    out += item.name.substr(0, kNameLengths - 1);
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kPre) {
      appendLe(&out, static_cast<std::uint32_t>(item.pre.size()), 2);
      out += item.pre;
    }
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kShader) {
      appendLe(&out, item.shaderSize, 3);
    }
  }
  return out;
}

WorkDirectory decodeWorkDirectory(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  WorkDirectory work;
  const std::uint32_t flags = in.byte();
  work.missing = (flags & kMissingFlag) != 0;
  work.isPackageDirectory = (flags & kPackageDirectoryFlag) != 0;
  work.limited = (flags & kLimitedFlag) != 0;
  if (work.limited) work.limit = in.le16() * kLimitUnit;
  while (!in.atEnd() && work.items.size() < kMaxWorkItems) {
    WorkItem item;
    item.kind = static_cast<WorkItem::Kind>(in.byte() % 4);
    item.name = in.bytes(in.byte() % kNameLengths);
    // A file name holds neither a separator nor a zero byte.
    for (char& c : item.name) {
      if (c == '/' || c == '\0') c = '_';
    }
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kPre) {
      item.pre = in.bytes(in.le16() % kPreLengths);
    }
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kShader) {
      item.shaderSize = in.le24() % kShaderSizes;
    }
    work.items.push_back(std::move(item));
  }
  return work;
}

std::string shaderContent(std::size_t index, std::uint32_t size) {
  std::string content(size, '\0');
  for (std::uint32_t i = 0; i < size; ++i) {
    content[i] = static_cast<char>((i * 31 + index * 7 + 1) % 251);
  }
  return content;
}
