// Reads shaders.spk front to back, once. A package may come from anywhere,
// cut short or lying about its lengths, so every length is measured against
// the bytes the package still holds before anything is read for it.
#ifndef QUILLMERE_PACKAGE_PACKAGE_READER_H_
#define QUILLMERE_PACKAGE_PACKAGE_READER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

class PackageReader {
 public:
  enum class Record {
    kWhole,    // the entry header is read
    kEnded,    // the package ends inside it
    kTooLong,  // its name is longer than a pre file the merge takes back
  };

  PackageReader(const platform::File& package, std::uint64_t size);

  // The package header's entry count; false when the package is shorter.
  bool readHeader(std::int32_t* entryCount);
  // The next entry's header bytes into `header`, which has room for
  // format::kMaxEntryHeaderSize, and their count into `size`.
  Record readEntryHeader(unsigned char* header, std::size_t* size);

  // Whether the package still holds `count` more bytes.
  bool holds(std::uint64_t count) const { return count <= remaining_; }
  // Moves the next `count` bytes to the start of `out`, or only past them
  // without it. Once a write fails the rest is passed over and `*writeFailed`
  // is set, so the package still stands at the next entry. False when it ended
  // first.
  bool copy(std::uint64_t count, const platform::File* out, bool* writeFailed);

 private:
  bool take(unsigned char* data, std::size_t count);
  bool fill();

  const platform::File& package_;
  std::uint64_t remaining_;
  std::uint64_t read_ = 0;  // where the next fill() reads
  // One buffer for everything read: headers are taken from it, contents
  // written out of it, so memory stays bounded whatever an entry's size.
  std::vector<unsigned char> buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

#endif  // QUILLMERE_PACKAGE_PACKAGE_READER_H_
