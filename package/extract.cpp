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
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "package/format.h"
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
  platform::FileHandle file = platform::kNoFile;
  platform::Opened opened = platform::Opened::kFailed;
  platform::FileId id;
};

void printFound(const std::string& name) {
  std::printf("Found hlsl file: '%s'\n", printable(name).c_str());
}

void printUnsafe(const std::string& name) {
  std::printf("Warning: Unsafe name, skipped: '%s'\n", printable(name).c_str());
}

void printClash(Clash clash, const std::string& path) {
  std::printf(clash == Clash::kPackage
                  ? "Warning: Same file as the package, skipped: '%s'\n"
                  : "Warning: Same file as an earlier entry, skipped: '%s'\n",
              printable(path).c_str());
}

void printWriteFailed(const std::string& path) {
  std::printf("Could not write to '%s'\n", printable(path).c_str());
}

void printWritten(std::int32_t size, const std::string& path) {
  std::printf("written %i bytes to '%s'\n", static_cast<int>(size),
              printable(path).c_str());
}

// One extraction: the package being read and what the run has written.
class Extraction {
 public:
  Extraction(const std::string& workPath, std::FILE* package,
             std::uint64_t size)
      : workPath_(workPath), package_(package), remaining_(size) {
    havePackageId_ = platform::identifyStream(package, &packageId_);
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
  Copy copyContent(std::uint64_t count, platform::FileHandle out);
  bool passOver(std::uint64_t count) {
    return copyContent(count, platform::kNoFile) == Copy::kDone;
  }

  bool extractEntry(const std::string& name, std::size_t headerSize,
                    std::int32_t contentSize);
  Clash openTarget(const std::string& path, Target* target,
                   const Target* sibling);
  void accept(const Target& target);
  void discard(Target* target);
  void writePreFile(Target* target, std::size_t length);
  bool writeShaderFile(Target* target, std::int32_t size);

  const std::string& workPath_;
  std::FILE* package_;
  std::uint64_t remaining_;
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
// the file shrank under us, which is the same as ending early.
bool Extraction::take(unsigned char* data, std::size_t count) {
  if (count > remaining_) return false;
  if (std::fread(data, 1, count, package_) != count) return false;
  remaining_ -= count;
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
Copy Extraction::copyContent(std::uint64_t count, platform::FileHandle out) {
  bool writeFailed = false;
  while (count > 0) {
    const std::size_t part = count < kCopyBlockSize
                                 ? static_cast<std::size_t>(count)
                                 : kCopyBlockSize;
    if (!take(block_, part)) return Copy::kPackageEnded;
    for (std::size_t done = 0;
         out != platform::kNoFile && !writeFailed && done < part;
         done += kWriteSize) {
      const std::size_t piece =
          part - done < kWriteSize ? part - done : kWriteSize;
      writeFailed = !platform::writeFile(out, block_ + done, piece);
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
      std::printf("Entry name too long, stopping: '%s'\n",
                  printable(packagePath).c_str());
      return true;
    }
    if (header == Header::kEnded) return false;

    const std::string fileName = workingName(preBuffer_, headerSize);
    const std::int32_t contentSize = format::readLe32Signed(
        preBuffer_ + headerSize - format::kSizeFieldSize);
    printFound(fileName);
    const std::uint64_t contentBytes = contentBytesOf(contentSize);
    // Nothing of an entry whose content the package cannot hold is written.
    if (contentBytes > remaining_) return false;
    if (!isSafeName(fileName)) {
      printUnsafe(fileName);
      if (!passOver(contentBytes)) return false;
      continue;
    }
    if (!extractEntry(fileName, headerSize, contentSize)) return false;
  }
  return true;
}

// Writes both files of one entry; false when the package ended inside its
// content, in which case neither file is left.
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
    printClash(clash, *clashing);
    discard(&pre);
    discard(&shader);
    return passOver(contentBytesOf(contentSize));
  }
  accept(pre);
  accept(shader);

  writePreFile(&pre, headerSize);
  if (writeShaderFile(&shader, contentSize)) return true;
  // The package ended under the content: part of an entry is no entry.
  if (pre.opened == platform::Opened::kCreated ||
      pre.opened == platform::Opened::kExisting) {
    std::remove(pre.path.c_str());
  }
  return false;
}

// Opens one work file of an entry, unless it is the package or a file that
// an earlier entry (or the entry's other file, `sibling`) wrote.
Clash Extraction::openTarget(const std::string& path, Target* target,
                             const Target* sibling) {
  target->path = path;
  target->opened = platform::openForWriting(path, &target->file, &target->id);
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
                          platform::identifyPath(sibling->path, &siblingId));
      sameAsSibling = known && siblingId == target->id;
    }
    if (sameAsSibling || written_.count(target->id) != 0) {
      clash = Clash::kEarlierEntry;
    }
  }
  if (clash != Clash::kNone) {
    platform::closeFile(target->file);
    target->file = platform::kNoFile;
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

// Leaves the work directory as it was before the entry was looked at.
void Extraction::discard(Target* target) {
  if (target->file == platform::kNoFile) return;
  platform::closeFile(target->file);
  if (target->opened == platform::Opened::kCreated) {
    std::remove(target->path.c_str());
  }
  target->file = platform::kNoFile;
}

void Extraction::writePreFile(Target* target, std::size_t length) {
  bool ok = target->file != platform::kNoFile;
  if (ok && target->opened == platform::Opened::kExisting) {
    ok = platform::truncateFile(target->file);
  }
  ok = ok && platform::writeFile(target->file, preBuffer_, length);
  if (target->file != platform::kNoFile) {
    ok = platform::closeFile(target->file) && ok;
    target->file = platform::kNoFile;
    // No half file is left for a merge to pack.
    if (!ok) std::remove(target->path.c_str());
  }
  if (!ok) printWriteFailed(target->path);
}

// Copies the content into the shader file; false when the package ended
// inside it.
bool Extraction::writeShaderFile(Target* target, std::int32_t size) {
  const std::uint64_t count = contentBytesOf(size);
  if (target->file == platform::kNoFile) {
    printWriteFailed(target->path);
    return passOver(count);
  }
  bool ok = target->opened != platform::Opened::kExisting ||
            platform::truncateFile(target->file);
  // Space set aside in one step costs a large file less than a reservation
  // per page as the writes come (1 GiB: a seventh less CPU time); for a
  // small one it is only one more system call.
  if (ok && count > kCopyBlockSize) {
    platform::reserveSpace(target->file, count);
  }
  const Copy copy = copyContent(count, ok ? target->file : platform::kNoFile);
  ok = platform::closeFile(target->file) && ok && copy == Copy::kDone;
  target->file = platform::kNoFile;
  if (!ok) std::remove(target->path.c_str());
  if (copy == Copy::kPackageEnded) return false;
  if (ok) {
    printWritten(size, target->path);
  } else {
    printWriteFailed(target->path);
  }
  return true;
}

}  // namespace

void ShaderPackage::extract() {
  const std::string filePath = packageFilePath(pksPath);
  // Declared before the stream so it outlives the stream's close; given no
  // buffer, the C library would pick its own size and ignore ours.
  std::vector<char> packageBuffer(kPackageBufferSize);
  std::FILE* package = std::fopen(filePath.c_str(), "rb");
  std::uint64_t size = 0;
  // A directory opens on some systems but is no package.
  if (package != nullptr && !platform::fileSize(package, &size)) {
    std::fclose(package);
    package = nullptr;
  }
  if (package == nullptr) {
    std::printf("could not open shaders.spk: '%s'\n",
                printable(filePath).c_str());
    return;
  }
  std::setvbuf(package, packageBuffer.data(), _IOFBF, packageBuffer.size());
  if (!Extraction(workPath, package, size).run(filePath)) {
    std::printf("Package ends early, stopping: '%s'\n",
                printable(filePath).c_str());
  }
  std::fclose(package);
}
