// The merge: rebuilds shaders.spk from the work directory, one entry per
// listed name, each from its pre file and the listed shader file itself.
//
// A work directory is edited by hand, so the merge packs only what the user
// means: a listed name is checked by the name rule before any file of it is
// opened, and packed only when it is the shader file its pre file belongs
// to, and only when every byte of both files was read. Replacing the package
// itself, so that the one the user had is never lost, is platform's
// Replacement.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "package/format.h"
#include "package/messages.h"
#include "package/shader_package.h"
#include "package/work_name.h"
#include "platform/platform.h"

namespace {

// The most an entry takes: its pre bytes (at most 1024) followed by its
// content (below 65536). Entries are built side by side in one buffer of
// kOutputSize and go to the package in one write per buffer, not per entry.
constexpr std::size_t kEntryBufferSize =
    format::kMaxPreFileSize +
    static_cast<std::size_t>(format::kShaderFileSizeLimit);
constexpr std::size_t kOutputSize = 4 * kEntryBufferSize;
static_assert(format::kMaxPreFileSize >=
                  format::kEntryFixedSize + format::kSizeFieldSize,
              "a pre file has room for its size field");

// The size probe: opens `path` and sets `size` to its size when it is small
// enough to merge, else to -1. Returns the open file (closed when it could
// not be opened) so the data is later read from the very file measured.
platform::File openAndProbe(const std::string& path, long* size) {
  std::uint64_t found = 0;
  bool othersLink = false;
  platform::File file = platform::openForReading(path, &found, &othersLink);
  if (!file.isOpen()) {
    if (othersLink) message::othersLink(path);
    message::notOpened(path);
    *size = -1;
    return file;
  }
  *size = found < static_cast<std::uint64_t>(format::kShaderFileSizeLimit)
              ? static_cast<long>(found)
              : -1;
  return file;
}

// Reads the pre file into `buffer`; returns its size, or 0 when the entry has
// to be skipped (the warning is printed here).
std::size_t readPreFile(const std::string& prePath, unsigned char* buffer) {
  std::uint64_t preSize = 0;
  bool othersLink = false;
  const platform::File pre =
      platform::openForReading(prePath, &preSize, &othersLink);
  if (!pre.isOpen()) {
    if (othersLink) message::othersLink(prePath);
    message::preNotOpened(prePath);
    return 0;
  }
  if (preSize > format::kMaxPreFileSize) {
    message::preTooLarge(prePath);
    return 0;
  }
  const std::size_t size = static_cast<std::size_t>(preSize);
  // Part of a pre file is no entry header; one that changed size since it
  // was measured is read again by the next merge.
  if (!platform::readExactly(pre, buffer, size)) {
    message::notRead(prePath);
    return 0;
  }
  // A pre file is an entry header, and its own nameLength tells how long
  // that header is. One shorter or longer than that (cut, or edited by
  // hand) would shift every entry after it, and the package would no
  // longer read the way its header counts it; so it is skipped.
  std::size_t expected = format::entryHeaderSize(0);
  if (size >= expected) {
    expected = format::entryHeaderSize(
        format::readLe32Signed(buffer + format::kNameLengthOffset));
  }
  if (size < expected) {
    message::preTooSmall(prePath);
    return 0;
  }
  if (size > expected) {
    message::preTooLarge(prePath);
    return 0;
  }
  return size;
}

// Builds the entry of the listed `name`, the work file `filePath`, in
// `buffer`: the pre file's bytes with their size field set to the content
// that follows, then the listed file's bytes. Returns the entry's length, or
// 0 when it is skipped (with its warnings printed); nothing of a skipped
// entry reaches the package.
std::size_t buildEntry(const std::string& name, const std::string& filePath,
                       unsigned char* buffer) {
  if (!isSafeName(name)) {
    message::unsafeName(filePath);
    return 0;
  }

  long size = -1;
  const platform::File shader = openAndProbe(filePath, &size);
  if (size < 0) {
    message::tooLarge(filePath);
    return 0;
  }

  const std::size_t preSize = readPreFile(preFilePath(filePath), buffer);
  if (preSize == 0) return 0;
  // A backup such as water.orig leads to water.pre too, but is not the
  // shader that pre file was written for: packing it would put a second
  // water.hlsl entry into the package.
  if (!endsInShaderSuffix(name) && workingName(buffer, preSize) != name) {
    message::notShaderOfPre(filePath);
    return 0;
  }

  // Every byte measured, or the entry is left out: a read error must not
  // pack a cut shader as if it were whole.
  const std::size_t contentSize = static_cast<std::size_t>(size);
  if (!platform::readExactly(shader, buffer + preSize, contentSize)) {
    message::notRead(filePath);
    return 0;
  }
  format::writeLe32(buffer + preSize - format::kSizeFieldSize,
                    static_cast<std::uint32_t>(contentSize));
  return preSize + contentSize;
}

// Whether the package being replaced may hold an entry, and so is worth
// pushing an older backup out for. One that cannot be read might.
bool mayHoldEntries(platform::Replacement* replacement) {
  unsigned char header[format::kPackageHeaderSize];
  std::size_t got = 0;
  if (!platform::readAt(replacement->old(), 0, header, sizeof header, &got))
    return true;
  return got == sizeof header &&
         format::readLe32Signed(header + format::kEntryCountOffset) > 0;
}

// An entry is known by a 64-bit hash of its UTF-16 name bytes, so
// comparing the packages keeps 8 bytes per entry, never the names.
std::uint64_t nameHash(const unsigned char* entry) {
  const std::size_t header = format::entryHeaderSize(
      format::readLe32Signed(entry + format::kNameLengthOffset));
  return format::hashMore(
      format::kHashStart, entry + format::kEntryFixedSize,
      header - format::kEntryFixedSize - format::kSizeFieldSize);
}

// The package being replaced, read front to back in large blocks; a content
// that reaches past the block is passed over without being read.
class OldPackage {
 public:
  explicit OldPackage(platform::Replacement* replacement)
      : replacement_(replacement), block_(64 * 1024) {}

  std::uint64_t offset() const { return start_ + at_; }

  // The next `size` bytes into `data`, or hashed into `hash` when `data`
  // is null; false when the package cannot be read or ends first.
  bool take(std::uint64_t size, unsigned char* data, std::uint64_t* hash) {
    while (size > 0) {
      if (at_ == filled_) {
        start_ += at_;
        at_ = 0;
        if (!platform::readAt(replacement_->old(), start_, block_.data(),
                              block_.size(), &filled_) ||
            filled_ == 0) {
          return false;
        }
      }
      const std::size_t n = static_cast<std::size_t>(
          std::min<std::uint64_t>(size, filled_ - at_));
      if (data != nullptr) {
        std::copy_n(block_.data() + at_, n, data);
        data += n;
      } else {
        *hash = format::hashMore(*hash, block_.data() + at_, n);
      }
      at_ += n;
      size -= n;
    }
    return true;
  }

  void skip(std::uint64_t size) {
    if (size <= filled_ - at_) {
      at_ += static_cast<std::size_t>(size);
      return;
    }
    start_ += at_ + size;
    at_ = filled_ = 0;
  }

  // Whether everything passed over lies within the package.
  bool reachesOffset() {
    unsigned char last = 0;
    std::size_t got = 0;
    return offset() == 0 || (platform::readAt(replacement_->old(), offset() - 1,
                                              &last, 1, &got) &&
                             got == 1);
  }

 private:
  platform::Replacement* replacement_;
  std::vector<unsigned char> block_;
  std::uint64_t start_ = 0;  // the package offset of block_[0]
  std::size_t at_ = 0;
  std::size_t filled_ = 0;
};

// Counts the entries of the package being replaced whose names are not in
// `packed` (sorted), and where the first of them starts. False when the
// package cannot be read or is cut: nothing can be said of it then.
bool countLeftOut(platform::Replacement* replacement,
                  const std::vector<std::uint64_t>& packed,
                  std::uint32_t* total, std::uint32_t* leftOut,
                  std::uint64_t* first) {
  OldPackage old(replacement);
  unsigned char header[format::kEntryFixedSize];
  if (!old.take(format::kPackageHeaderSize, header, nullptr)) return false;
  const std::int32_t count =
      format::readLe32Signed(header + format::kEntryCountOffset);
  *total = 0;
  *leftOut = 0;
  for (; static_cast<std::int32_t>(*total) < count; ++*total) {
    const std::uint64_t start = old.offset();
    std::uint64_t hash = format::kHashStart;
    if (!old.take(format::kEntryFixedSize, header, nullptr)) return false;
    const std::size_t nameBytes =
        format::entryHeaderSize(
            format::readLe32Signed(header + format::kNameLengthOffset)) -
        format::kEntryFixedSize - format::kSizeFieldSize;
    if (!old.take(nameBytes, nullptr, &hash) ||
        !old.take(format::kSizeFieldSize, header, nullptr)) {
      return false;
    }
    old.skip(format::contentBytes(format::readLe32Signed(header)));
    if (!std::binary_search(packed.begin(), packed.end(), hash)) {
      if (*leftOut == 0) *first = start;
      ++*leftOut;
    }
  }
  return old.reachesOffset();
}

// Says how many of the replaced package's entries the new one leaves out,
// naming the first: a merge of an empty, partial or wrong work folder looks
// like any other.
void warnOfLeftOut(platform::Replacement* replacement,
                   std::vector<std::uint64_t>* packed) {
  std::sort(packed->begin(), packed->end());
  std::uint32_t total = 0;
  std::uint32_t leftOut = 0;
  std::uint64_t first = 0;
  if (!countLeftOut(replacement, *packed, &total, &leftOut, &first) ||
      leftOut == 0) {
    return;
  }
  // Its name as extraction shows it; a name too long to extract is shown
  // as far as a pre file could hold it.
  unsigned char entry[format::kMaxEntryHeaderSize] = {};
  std::size_t got = 0;
  if (!platform::readAt(replacement->old(), first, entry, sizeof entry, &got) ||
      got < format::kEntryFixedSize) {
    return;
  }
  const std::int32_t units =
      std::min(format::readLe32Signed(entry + format::kNameLengthOffset),
               format::kMaxNameLength);
  message::leftOut(leftOut, total,
                   workingName(entry, format::entryHeaderSize(units)));
}

}  // namespace

void ShaderPackage::merge() {
  const std::string packagePath = packageFilePath(pksPath);
  // One merge of a package at a time. The lock comes first so that what a
  // killed merge left is cleared before the listing could count it.
  platform::Replacement replacement(packagePath);
  const bool locked = replacement.lock();

  // Emptied first, so only a listing refused for its count leaves names.
  fileList.clear();
  if (!listWorkFiles()) {
    message::listingFailed();
    if (fileList.size() % 2 != 0) explainOddCount(workPath, fileList);
    return;
  }
  if (!locked || !replacement.open()) {
    message::packageRefused(packagePath);
    message::cause(replacement.cause(), replacement.causeName());
    return;
  }
  if (replacement.folderOpenToOthers()) message::sharedFolder(pksPath);
  // A package folder without a package is most often a mistyped one: the
  // merge goes on, but says so before the first entry.
  if (!replacement.old().isOpen()) message::newPackage(packagePath);

  // The header is rewritten with the count of entries really packed.
  bool ok = writeHeader(&replacement);
  std::vector<unsigned char> buffer(kOutputSize);
  std::vector<std::uint64_t> packedNames;
  packedNames.reserve(fileList.size());
  std::size_t used = 0;
  std::uint32_t entriesWritten = 0;
  while (ok && !fileList.empty()) {
    if (used + kEntryBufferSize > buffer.size()) {
      ok = replacement.write(buffer.data(), used);
      used = 0;
      if (!ok) break;
    }
    const std::string name = std::move(fileList.front());
    fileList.pop_front();
    const std::string filePath = workFilePath(workPath, name);
    const std::size_t length = buildEntry(name, filePath, buffer.data() + used);
    if (length == 0) continue;
    packedNames.push_back(nameHash(buffer.data() + used));
    used += length;
    ++entriesWritten;
    message::merged(filePath);
  }
  ok = ok && replacement.write(buffer.data(), used);
  // A failed write ends the merge; the names left are not packed.
  fileList.clear();

  unsigned char count[format::kSizeFieldSize];
  format::writeLe32(count, entriesWritten);
  ok =
      ok && replacement.writeAt(format::kEntryCountOffset, count, sizeof count);
  if (ok && replacement.old().isOpen())
    warnOfLeftOut(&replacement, &packedNames);
  // An empty package is not worth the backup of the last real one.
  const platform::Replacement::Commit commit =
      ok ? replacement.commit(mayHoldEntries(&replacement))
         : platform::Replacement::Commit::kFailed;
  if (commit == platform::Replacement::Commit::kFailed) {
    message::packageNotWritten(packagePath);
    message::cause(replacement.cause(), replacement.causeName());
  } else if (commit == platform::Replacement::Commit::kUnsynced) {
    message::packageNotSynced(packagePath);
  } else if (commit == platform::Replacement::Commit::kNoBackup) {
    message::backupNotKept(packagePath);
    message::backupHeldBy(replacement.causeName());
  }
}

bool ShaderPackage::writeHeader(platform::Replacement* package) {
  unsigned char header[format::kPackageHeaderSize];
  format::writeLe32(header, format::kPackageMark);
  format::writeLe32(header + format::kEntryCountOffset,
                    static_cast<std::uint32_t>(fileList.size()));
  return package->write(header, sizeof header);
}
