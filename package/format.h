// The layout of shaders.spk and of the two work files kept per entry.
// Everything that knows where a byte lives in the package reads it from here.
//
// Package file (all integers 32-bit little-endian, no magic, no alignment):
//
//   offset  size  field          meaning
//   0       4     packageMark    written as 1 by merge, not read by extract
//   4       4     entryCount     signed; entries that follow (<= 0: none)
//   8       ...   entries, back to back
//
// Entry (n = nameLength when positive, else 0):
//
//   offset  size  field          meaning
//   0       4     entryWord0     opaque, carried through the pre file
//   4       4     entryWord1     opaque, carried through the pre file
//   8       4     nameLength     signed; UTF-16 code units in name
//   12      2n    name           UTF-16LE, no terminator
//   12+2n   4     contentSize    signed; content bytes (<= 0: none)
//   16+2n   ...   content        the shader source, raw bytes
//
// The entry header bytes are the first 16 + 2n bytes of an entry. The pre
// file holds exactly those bytes; the shader file holds exactly the content.
//
// While a merge rewrites a package in place, the package starts with a mark
// instead of its header, so no reader takes it for a package:
//
//   offset  size  field
//   0       4     packageMark    "QMRW"
//   4       4     entryCount     -1
//   8       8     old size       of the package being replaced
//   16      8     old hash       FNV-1a of its bytes
//   24      8     new size
//   32      8     new hash
//   40      2     g              length of the guard's name
//   42      g     guard          base name of the copy of the old bytes
//   42+g    8     mark hash      FNV-1a of the bytes before it
//
// (all little-endian). Only a package that starts with "QMRW" and -1 is
// judged by its mark.
#ifndef QUILLMERE_PACKAGE_FORMAT_H_
#define QUILLMERE_PACKAGE_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace format {

constexpr const char kPackageFileName[] = "shaders.spk";
constexpr const char kPreSuffix[] = ".pre";
constexpr const char kShaderSuffix[] = ".hlsl";

constexpr std::size_t kPackageHeaderSize = 8;
constexpr std::size_t kEntryCountOffset = 4;
constexpr std::uint32_t kPackageMark = 1;

constexpr unsigned char kRewriteMark[4] = {'Q', 'M', 'R', 'W'};
constexpr std::size_t kMarkFixedSize = 42;
constexpr std::size_t kMaxMarkSize = 512;

// entryWord0, entryWord1 and nameLength, read as one block.
constexpr std::size_t kEntryFixedSize = 12;
constexpr std::size_t kNameLengthOffset = 8;
constexpr std::size_t kSizeFieldSize = 4;
constexpr std::size_t kBytesPerCodeUnit = 2;

// The merge refuses pre files above this size, so extraction refuses entry
// headers above it too: everything extracted can be merged back.
constexpr std::size_t kMaxPreFileSize = 1024;
constexpr std::int32_t kMaxNameLength = static_cast<std::int32_t>(
    (kMaxPreFileSize - kEntryFixedSize - kSizeFieldSize) / kBytesPerCodeUnit);
constexpr std::size_t kMaxEntryHeaderSize = kMaxPreFileSize;

// The entry header bytes an entry of `nameLength` code units has: 16 and
// two per unit, 16 for an empty or negative length.
constexpr std::size_t entryHeaderSize(std::int32_t nameLength) {
  return kEntryFixedSize +
         (nameLength > 0 ? static_cast<std::size_t>(nameLength) : 0) *
             kBytesPerCodeUnit +
         kSizeFieldSize;
}
static_assert(entryHeaderSize(kMaxNameLength) == kMaxEntryHeaderSize,
              "the longest name extraction takes fills a pre file the merge "
              "takes back");

// The bytes a contentSize field stands for: none when it is 0 or negative.
constexpr std::uint64_t contentBytes(std::int32_t contentSize) {
  return contentSize > 0 ? static_cast<std::uint64_t>(contentSize) : 0;
}

// A shader file must be smaller than this to be merged.
constexpr long kShaderFileSizeLimit = 65536;

// Paths and names shorter than this have no stem to cut ".hlsl" from.
constexpr std::size_t kStemCut = sizeof(kShaderSuffix) - 1;

inline std::uint32_t readLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) |
         (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) |
         (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::int32_t readLe32Signed(const unsigned char* p) {
  // Two's complement without relying on implementation-defined conversion.
  std::uint32_t u = readLe32(p);
  if (u <= 0x7FFFFFFFu) return static_cast<std::int32_t>(u);
  return -static_cast<std::int32_t>(~u) - 1;
}

inline void writeLe32(unsigned char* p, std::uint32_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

inline void writeLe64(unsigned char* p, std::uint64_t value) {
  writeLe32(p, static_cast<std::uint32_t>(value));
  writeLe32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

inline std::uint64_t readLe64(const unsigned char* p) {
  return readLe32(p) | (static_cast<std::uint64_t>(readLe32(p + 4)) << 32);
}

// FNV-1a, 64 bits: names of entries, and the mark's hashes of whole
// packages. Tells a copy from a file that changed; no defence against a
// forger.
constexpr std::uint64_t kHashStart = 14695981039346656037ull;
inline std::uint64_t hashMore(std::uint64_t hash, const unsigned char* data,
                              std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    hash = (hash ^ data[i]) * 1099511628211ull;
  }
  return hash;
}

}  // namespace format

#endif  // QUILLMERE_PACKAGE_FORMAT_H_
