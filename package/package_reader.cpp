#include "package/package_reader.h"

#include <algorithm>
#include <cstring>

#include "package/format.h"

namespace {

// One read of this size serves many small entries; with 4 KiB, a package of
// small entries took a read per entry besides the work files' calls.
constexpr std::size_t kBufferSize = 64 * 1024;

}  // namespace

PackageReader::PackageReader(const platform::File& package, std::uint64_t size)
    : package_(package), remaining_(size), buffer_(kBufferSize) {}

bool PackageReader::fill() {
  std::size_t got = 0;
  start_ = 0;
  end_ = 0;
  // A short read means the file shrank under us: the same as ending early.
  if (!platform::readAt(package_, read_, buffer_.data(), buffer_.size(),
                        &got)) {
    return false;
  }
  read_ += got;
  end_ = got;
  return got > 0;
}

bool PackageReader::take(unsigned char* data, std::size_t count) {
  if (!holds(count)) return false;
  remaining_ -= count;
  while (count > 0) {
    if (start_ == end_ && !fill()) return false;
    const std::size_t part = std::min(count, end_ - start_);
    std::memcpy(data, buffer_.data() + start_, part);
    start_ += part;
    data += part;
    count -= part;
  }
  return true;
}

bool PackageReader::copy(std::uint64_t count, const platform::File* out,
                         bool* writeFailed) {
  if (!holds(count)) return false;
  remaining_ -= count;
  for (std::uint64_t at = 0; at < count;) {
    if (start_ == end_ && !fill()) return false;
    const std::size_t part = static_cast<std::size_t>(
        std::min<std::uint64_t>(count - at, end_ - start_));
    if (out != nullptr && !*writeFailed) {
      *writeFailed =
          !platform::writeAt(*out, at, buffer_.data() + start_, part);
    }
    start_ += part;
    at += part;
  }
  return true;
}

bool PackageReader::readHeader(std::int32_t* entryCount) {
  unsigned char header[format::kPackageHeaderSize];
  if (!take(header, sizeof header)) return false;
  *entryCount = format::readLe32Signed(header + format::kEntryCountOffset);
  return true;
}

PackageReader::Record PackageReader::readEntryHeader(unsigned char* header,
                                                     std::size_t* size) {
  if (!take(header, format::kEntryFixedSize)) return Record::kEnded;
  const std::int32_t nameLength =
      format::readLe32Signed(header + format::kNameLengthOffset);
  // Checked before it sizes anything.
  if (nameLength > format::kMaxNameLength) return Record::kTooLong;
  *size = format::entryHeaderSize(nameLength);
  if (!take(header + format::kEntryFixedSize,
            *size - format::kEntryFixedSize)) {
    return Record::kEnded;
  }
  return Record::kWhole;
}
