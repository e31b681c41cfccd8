// Extraction: walks shaders.spk once, front to back, and writes a pre file
// and a shader file per entry into the work directory.
//
// A package may come from anywhere, cut short or with hostile names, so
// nothing read from it is trusted before it is checked. The package's size is
// known from the start and every entry is measured against the bytes that
// remain before anything of it is written; a length is checked before it
// sizes a buffer or a copy; a name passes the name rule before it becomes a
// path; and no entry writes the package or a file an earlier entry wrote,
// whatever spelling or link leads there.
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/messages.h"
#include "package/shader_package.h"
#include "package/work_name.h"
#include "platform/platform.h"

namespace {

// The package is read through a buffer this large: with stdio's own 4 KiB,
// a package of small entries took a read per entry besides the three calls
// per work file.
constexpr std::size_t kPackageBufferSize = 64 * 1024;
// Contents move through one block of this size, so memory stays bounded
// whatever an entry's size.
constexpr std::size_t kCopyBlockSize = 1024 * 1024;
// The block goes to a shader file in writes of this size: 1 MiB writes took
// a fifth more CPU time for a 1 GiB entry, and far more now and then.
constexpr std::size_t kWriteSize = 64 * 1024;
// A block on a page boundary copies into the page cache at full speed; 64
// bytes off, the 1 GiB entry took twice the CPU time.
constexpr std::size_t kPageSize = 4096;

static_assert(format::kMaxEntryHeaderSize ==
                  format::kEntryFixedSize +
                      format::kBytesPerCodeUnit * format::kMaxNameLength +
                      format::kSizeFieldSize,
              "the header buffer holds the longest name the merge takes back");
static_assert(format::kMaxEntryHeaderSize <= format::kMaxPreFileSize,
              "every pre file extraction writes can be merged back");
static_assert(kCopyBlockSize % kWriteSize == 0 && kWriteSize % kPageSize == 0,
              "every write of a block starts on a page");

enum class Header { kWhole, kEnded, kTooLong };

// The bytes a contentSize field stands for: none when it is 0 or negative.
std::uint64_t contentBytesOf(std::int32_t contentSize) {
  return contentSize > 0 ? static_cast<std::uint64_t>(contentSize) : 0;
}
enum class Copy { kDone, kPackageEnded, kWriteFailed };
enum class Clash { kNone, kPackage, kEarlierEntry };

// One work file of an entry, opened and checked before either file of the
// entry is written.
struct Target {
  std::string path;
  platform::File file;
  platform::Opened opened = platform::Opened::kFailed;
  platform::FileId id;
  // Created or emptied by this run: what is in it is ours to remove. A file
  // the tool failed to empty is still the user's.
  bool ours = false;
};

// One extraction: the package being read and what the run has written.
class Extraction {
 public:
  Extraction(const std::string& workPath, const platform::File& package,
             std::uint64_t size)
      : workPath_(workPath), package_(package), remaining_(size) {
    havePackageId_ = platform::identify(package, &packageId_);
    void* start = blockStorage_.get();
    std::size_t space = kCopyBlockSize + kPageSize;
    block_ = static_cast<unsigned char*>(
        std::align(kPageSize, kCopyBlockSize, start, space));
  }

  // Walks the entries; false when the package ended before its count did.
  bool run(const std::string& packagePath);

 private:
  bool take(unsigned char* data, std::size_t count);
  Header readEntryHeader(std::size_t* headerSize);
  Copy copyContent(std::uint64_t count, const platform::File* out);
  bool passOver(std::uint64_t count) {
    return copyContent(count, nullptr) == Copy::kDone;
  }

  bool extractEntry(const std::string& name, std::size_t headerSize,
                    std::int32_t contentSize);
  Clash openTarget(const std::string& path, Target* target,
                   const Target* sibling);
  void accept(const Target& target);
  void discard(Target* target);
  bool writePreFile(Target* target, std::size_t length);
  Copy writeShaderFile(Target* target, std::int32_t size);

  const std::string& workPath_;
  const platform::File& package_;
  std::uint64_t remaining_;
  // What was read from the package ahead of its use.
  std::unique_ptr<unsigned char[]> readAhead_{
      new unsigned char[kPackageBufferSize]};
  std::size_t aheadStart_ = 0;
  std::size_t aheadEnd_ = 0;
  platform::FileId packageId_;
  bool havePackageId_ = false;

  // The files this run wrote, by identity. Those it created are at first
  // only named in `created_` (each name ended by a zero byte): a file that
  // did not exist cannot be the package or an earlier entry's, so a fresh
  // extraction never asks who a file is. Only when an existing file turns
  // up are the created ones identified, once each.
  std::set<platform::FileId> written_;
  std::string created_;

  // The entry header bytes, room for the longest the merge takes back;
  // nameLength is checked against it before a name byte is read.
  unsigned char preBuffer_[format::kMaxEntryHeaderSize];
  std::unique_ptr<unsigned char[]> blockStorage_{
      new unsigned char[kCopyBlockSize + kPageSize]};
  unsigned char* block_;
};

// Reads `count` bytes when the package still holds them. A short read means
// the file shrank under us, which is the same as ending early. Small reads
// are served from one large read ahead; a large one goes straight through.
bool Extraction::take(unsigned char* data, std::size_t count) {
  if (count > remaining_) return false;
  remaining_ -= count;
  const std::size_t buffered = aheadEnd_ - aheadStart_;
  const std::size_t first = count < buffered ? count : buffered;
  std::memcpy(data, readAhead_.get() + aheadStart_, first);
  aheadStart_ += first;
  data += first;
  count -= first;
  if (count == 0) return true;
  if (count >= kPackageBufferSize) {
    return platform::readExactly(package_, data, count);
  }
  std::size_t got = 0;
  if (!platform::readSome(package_, readAhead_.get(), kPackageBufferSize,
                          &got) ||
      got < count) {
    return false;
  }
  std::memcpy(data, readAhead_.get(), count);
  aheadStart_ = count;
  aheadEnd_ = got;
  return true;
}

Header Extraction::readEntryHeader(std::size_t* headerSize) {
  if (!take(preBuffer_, format::kEntryFixedSize)) return Header::kEnded;
  const std::int32_t nameLength =
      format::readLe32Signed(preBuffer_ + format::kNameLengthOffset);
  if (nameLength > format::kMaxNameLength) return Header::kTooLong;
  const std::size_t nameBytes =
      nameLength > 0
          ? static_cast<std::size_t>(nameLength) * format::kBytesPerCodeUnit
          : 0;
  *headerSize = format::kEntryFixedSize + nameBytes + format::kSizeFieldSize;
  if (!take(preBuffer_ + format::kEntryFixedSize,
            nameBytes + format::kSizeFieldSize)) {
    return Header::kEnded;
  }
  return Header::kWhole;
}

// Moves `count` bytes from the package to `out`. Without `out`, or once a
// write has failed, the bytes are only passed over, so the package still ends
// up at the start of the next entry.
Copy Extraction::copyContent(std::uint64_t count, const platform::File* out) {
  bool writeFailed = false;
  while (count > 0) {
    const std::size_t part = count < kCopyBlockSize
                                 ? static_cast<std::size_t>(count)
                                 : kCopyBlockSize;
    if (!take(block_, part)) return Copy::kPackageEnded;
    for (std::size_t done = 0; out != nullptr && !writeFailed && done < part;
         done += kWriteSize) {
      const std::size_t piece =
          part - done < kWriteSize ? part - done : kWriteSize;
      writeFailed = !platform::writeFile(*out, block_ + done, piece);
    }
    count -= part;
  }
  return writeFailed ? Copy::kWriteFailed : Copy::kDone;
}

bool Extraction::run(const std::string& packagePath) {
  unsigned char fileHeader[format::kPackageHeaderSize];
  if (!take(fileHeader, sizeof fileHeader)) return false;
  const std::int32_t entryCount =
      format::readLe32Signed(fileHeader + format::kEntryCountOffset);

  for (std::int32_t left = entryCount; left >= 1; --left) {
    std::size_t headerSize = 0;
    const Header header = readEntryHeader(&headerSize);
    if (header == Header::kTooLong) {
      message::nameTooLong(packagePath);
      return true;
    }
    if (header == Header::kEnded) return false;

    const std::string fileName = workingName(preBuffer_, headerSize);
    const std::int32_t contentSize = format::readLe32Signed(
        preBuffer_ + headerSize - format::kSizeFieldSize);
    message::found(fileName);
    const std::uint64_t contentBytes = contentBytesOf(contentSize);
    // Nothing of an entry whose content the package cannot hold is written.
    if (contentBytes > remaining_) return false;
    if (!isSafeName(fileName)) {
      message::unsafeName(fileName);
      if (!passOver(contentBytes)) return false;
      continue;
    }
    if (!extractEntry(fileName, headerSize, contentSize)) return false;
  }
  return true;
}

// Writes both files of one entry; false when the package ended inside its
// content, in which case nothing of the entry is left.
//
// The pre file is written last: it marks the entry whole. Until then it is
// empty, so a run killed while the shader file is written leaves an entry
// the merge refuses with a warning, never a cut shader it would pack.
bool Extraction::extractEntry(const std::string& name, std::size_t headerSize,
                              std::int32_t contentSize) {
  const std::string shaderPath = workFilePath(workPath_, name);
  Target pre;
  Target shader;
  Clash clash = openTarget(preFilePath(shaderPath), &pre, nullptr);
  const std::string* clashing = &pre.path;
  if (clash == Clash::kNone) {
    clash = openTarget(shaderPath, &shader, &pre);
    clashing = &shader.path;
  }
  if (clash != Clash::kNone) {
    if (clash == Clash::kPackage) {
      message::sameAsPackage(*clashing);
    } else {
      message::sameAsEarlierEntry(*clashing);
    }
    discard(&pre);
    discard(&shader);
    return passOver(contentBytesOf(contentSize));
  }
  accept(pre);
  accept(shader);

  if (pre.opened == platform::Opened::kExisting) {
    pre.ours = platform::truncateFile(pre.file);
    if (!pre.ours) pre.file.close();
  }
  if (!pre.file.isOpen()) message::notWritten(pre.path);

  const Copy copy = writeShaderFile(&shader, contentSize);
  if (copy == Copy::kPackageEnded) {
    // Part of an entry is no entry.
    discard(&pre);
    return false;
  }
  if (pre.file.isOpen() && !writePreFile(&pre, headerSize)) {
    message::notWritten(pre.path);
  }
  if (copy == Copy::kDone) {
    message::written(contentSize, shader.path);
  } else {
    message::notWritten(shader.path);
  }
  return true;
}

// Opens one work file of an entry, unless it is the package or a file that
// an earlier entry (or the entry's other file, `sibling`) wrote.
Clash Extraction::openTarget(const std::string& path, Target* target,
                             const Target* sibling) {
  target->path = path;
  target->opened = platform::openForWriting(path, &target->file, &target->id);
  target->ours = target->opened == platform::Opened::kCreated;
  if (target->opened != platform::Opened::kExisting) return Clash::kNone;

  Clash clash = Clash::kNone;
  if (havePackageId_ && target->id == packageId_) {
    clash = Clash::kPackage;
  } else {
    for (std::size_t at = 0; at < created_.size();) {
      const std::size_t end = created_.find('\0', at);
      platform::FileId id;
      // A created file that has gone since (a failed write) is nobody's.
      if (platform::identifyPath(
              workFilePath(workPath_, created_.substr(at, end - at)), &id)) {
        written_.insert(id);
      }
      at = end + 1;
    }
    created_.clear();
    // The entry's other file is not on record yet; a new one is only
    // identified now that it matters.
    bool sameAsSibling = false;
    if (sibling != nullptr) {
      platform::FileId siblingId = sibling->id;
      const bool known = sibling->opened == platform::Opened::kExisting ||
                         (sibling->opened == platform::Opened::kCreated &&
                          platform::identify(sibling->file, &siblingId));
      sameAsSibling = known && siblingId == target->id;
    }
    if (sameAsSibling || written_.count(target->id) != 0) {
      clash = Clash::kEarlierEntry;
    }
  }
  if (clash != Clash::kNone) {
    target->file.close();
    target->opened = platform::Opened::kFailed;
  }
  return clash;
}

// The entry's file is now one this run writes.
void Extraction::accept(const Target& target) {
  if (target.opened == platform::Opened::kExisting) {
    written_.insert(target.id);
  } else if (target.opened == platform::Opened::kCreated) {
    created_.append(target.path, workPath_.size() + 1, std::string::npos);
    created_ += '\0';
  }
}

// Leaves nothing of the entry in the work directory but what was there
// before this run, and that only if the run never emptied it.
void Extraction::discard(Target* target) {
  target->file.close();
  if (target->ours) platform::removeFile(target->path);
  target->ours = false;
}

// Writes the entry header bytes; a file that did not get them all is
// removed, so no half file is left for a merge to pack.
bool Extraction::writePreFile(Target* target, std::size_t length) {
  bool ok = platform::writeFile(target->file, preBuffer_, length);
  ok = target->file.close() && ok;
  if (!ok) discard(target);
  return ok;
}

// Copies the content into the shader file. kPackageEnded: the package ended
// inside it; kWriteFailed: the file could not be created or written, and the
// content was passed over. Either way nothing of the file is left.
Copy Extraction::writeShaderFile(Target* target, std::int32_t size) {
  const std::uint64_t count = contentBytesOf(size);
  bool ok = target->file.isOpen();
  if (ok && target->opened == platform::Opened::kExisting) {
    ok = target->ours = platform::truncateFile(target->file);
  }
  // Space set aside in one step costs a large file less than a reservation
  // per page as the writes come (1 GiB: a seventh less CPU time); for a
  // small one it is only one more system call.
  if (ok && count > kCopyBlockSize) {
    platform::reserveSpace(target->file, count);
  }
  Copy copy = copyContent(count, ok ? &target->file : nullptr);
  ok = target->file.close() && ok && copy == Copy::kDone;
  if (!ok) {
    discard(target);
    if (copy == Copy::kDone) copy = Copy::kWriteFailed;
  }
  return copy;
}

}  // namespace

void ShaderPackage::extract() {
  const std::string filePath = packageFilePath(pksPath);
  std::uint64_t size = 0;
  // A directory, FIFO or device is no package.
  const platform::File package = platform::openForReading(filePath, &size);
  if (!package.isOpen()) {
    message::packageNotOpened(filePath);
    return;
  }
  if (!Extraction(workPath, package, size).run(filePath)) {
    message::packageEndsEarly(filePath);
  }
}
