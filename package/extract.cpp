// Extraction: walks shaders.spk once, front to back, and writes a pre file
// and a shader file per entry into the work directory.
//
// A package may come from anywhere, cut short or with hostile names, so
// nothing read from it is trusted before it is checked. The package's size is
// known from the start and every entry is measured against the bytes that
// remain before anything of it is written; a length is checked before it
// sizes a buffer or a copy; a name is checked before it becomes a path.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/shader_package.h"
#include "package/write_batch.h"
#include "platform/platform.h"

namespace {

// Reads of the package go through a buffer this large, so the many small
// header fields cost no system call each.
constexpr std::size_t kPackageBufferSize = 64 * 1024;
// Content moves in blocks of this size: few system calls for a large entry,
// and memory stays bounded whatever the entry's size.
constexpr std::size_t kCopyBlockSize = 1024 * 1024;
// A block goes to the shader file in writes of this size, the unit the
// kernel's own file-to-file copy moves (cat's). The system backs a write with
// page-cache pages as large as the write; on a virtual machine whose host
// takes freed memory back, large pages are often memory the host must hand
// out again, and filling them cost up to five times as much: 1 GiB in 1 MiB
// writes took three times cat's CPU time, in 128 KiB writes now and then
// twice, in 64 KiB writes steadily about the same.
constexpr std::size_t kWriteSize = 64 * 1024;
// Entries with contents up to this size wait in a batch of this capacity and
// are written together (see write_batch.h); larger ones stream on their own.
constexpr std::uint64_t kLargestBatchedContent = 256 * 1024;
constexpr std::size_t kBatchCapacity = 2 * 1024 * 1024;

enum class Copy { kDone, kPackageEnded, kWriteFailed };

// Reads `count` bytes when the package still holds them. A short read means
// the file shrank under us, which is the same as ending early.
bool take(std::FILE* package, unsigned char* data, std::size_t count,
          std::uint64_t* remaining) {
  if (count > *remaining) return false;
  if (std::fread(data, 1, count, package) != count) return false;
  *remaining -= count;
  return true;
}

// Moves `count` bytes from the package to `out`. Without `out`, or once a
// write has failed, the bytes are only passed over, so the package still ends
// up at the start of the next entry.
Copy copyContent(std::FILE* package, std::uint64_t count, std::FILE* out) {
  if (count == 0) return Copy::kDone;
  // A small entry gets a buffer of its own size, not a whole block.
  const std::size_t blockSize =
      count < kCopyBlockSize ? static_cast<std::size_t>(count) : kCopyBlockSize;
  // The block starts on a page, like the page-cache pages its writes land
  // in, so those copies run at full speed. How far apart a source and a
  // destination sit within their pages can slow a copy down a lot: the 1 GiB
  // copy took 10% more CPU time from a block 16 bytes into a page, 80% more
  // from one 64 bytes in.
  constexpr std::size_t kPageSize = 4096;
  std::unique_ptr<unsigned char[]> storage(
      new unsigned char[blockSize + kPageSize]);
  void* start = storage.get();
  std::size_t space = blockSize + kPageSize;
  unsigned char* block = static_cast<unsigned char*>(
      std::align(kPageSize, blockSize, start, space));
  bool writeFailed = false;
  while (count > 0) {
    const std::size_t part =
        count < blockSize ? static_cast<std::size_t>(count) : blockSize;
    if (std::fread(block, 1, part, package) != part) {
      return Copy::kPackageEnded;
    }
    for (std::size_t done = 0; out != nullptr && !writeFailed && done < part;
         done += kWriteSize) {
      const std::size_t piece =
          part - done < kWriteSize ? part - done : kWriteSize;
      writeFailed = std::fwrite(block + done, 1, piece, out) != piece;
    }
    count -= part;
  }
  return writeFailed ? Copy::kWriteFailed : Copy::kDone;
}

void printFound(const std::string& name) {
  std::printf("Found hlsl file: '%s'\n", name.c_str());
}

void printWriteFailed(const std::string& path) {
  std::printf("Could not write to '%s'\n", path.c_str());
}

void printWritten(std::int32_t size, const std::string& path) {
  std::printf("written %i bytes to '%s'\n", static_cast<int>(size),
              path.c_str());
}

// Writes the waiting entries, then prints their lines in package order.
void writeBatch(WriteBatch& batch) {
  if (batch.empty()) return;
  for (const BatchEntry& entry : batch.write()) {
    printFound(entry.name);
    if (entry.skipped) {
      std::printf("Warning: Unsafe name, skipped: '%s'\n", entry.name.c_str());
      continue;
    }
    if (!entry.preWritten) printWriteFailed(entry.prePath);
    if (entry.shaderWritten) {
      printWritten(entry.contentSize, entry.shaderPath);
    } else {
      printWriteFailed(entry.shaderPath);
    }
  }
  batch.clear();
}

// A working name becomes a path only when it names a file of its own inside
// the work directory. A name without a stem would put its pre file beside the
// work directory ("." and ".." are too short for a stem as well); a separator
// or a drive colon could lead anywhere; control bytes name no file a user
// could open.
bool isSafeName(const std::string& name) {
  if (!hasStem(name)) return false;
  for (unsigned char c : name) {
    if (c < 32 || c == '/' || c == '\\' || c == ':') return false;
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
  std::uint64_t remaining = 0;
  // A directory opens on some systems but is no package.
  if (package != nullptr && !platform::fileSize(package, &remaining)) {
    std::fclose(package);
    package = nullptr;
  }
  if (package == nullptr) {
    std::printf("could not open shaders.spk: '%s'\n", filePath.c_str());
    return;
  }
  std::setvbuf(package, packageBuffer.data(), _IOFBF, packageBuffer.size());

  unsigned char fileHeader[format::kPackageHeaderSize];
  // Room for the longest header the merge takes back; nameLength is checked
  // against it before a name byte is read.
  unsigned char preBuffer[format::kMaxEntryHeaderSize];
  WriteBatch batch(kBatchCapacity);
  bool endedEarly = !take(package, fileHeader, sizeof fileHeader, &remaining);
  const std::int32_t entryCount =
      endedEarly
          ? 0
          : format::readLe32Signed(fileHeader + format::kEntryCountOffset);

  for (std::int32_t left = entryCount; left >= 1 && !endedEarly; --left) {
    if (!take(package, preBuffer, format::kEntryFixedSize, &remaining)) {
      endedEarly = true;
      break;
    }
    const std::int32_t nameLength =
        format::readLe32Signed(preBuffer + format::kNameLengthOffset);
    if (nameLength > format::kMaxNameLength) {
      writeBatch(batch);
      std::printf("Entry name too long, stopping: '%s'\n", filePath.c_str());
      break;
    }
    const std::size_t units =
        nameLength > 0 ? static_cast<std::size_t>(nameLength) : 0;
    const std::size_t nameBytes = units * format::kBytesPerCodeUnit;
    const std::size_t headerSize =
        format::kEntryFixedSize + nameBytes + format::kSizeFieldSize;
    if (!take(package, preBuffer + format::kEntryFixedSize,
              nameBytes + format::kSizeFieldSize, &remaining)) {
      endedEarly = true;
      break;
    }

    // The working name is the low byte of each code unit, up to the first
    // zero; the pre file keeps every byte.
    std::string fileName;
    for (std::size_t i = 0; i < units; ++i) {
      const unsigned char low =
          preBuffer[format::kEntryFixedSize + i * format::kBytesPerCodeUnit];
      if (low == 0) break;
      fileName += static_cast<char>(low);
    }
    const std::int32_t contentSize =
        format::readLe32Signed(preBuffer + format::kEntryFixedSize + nameBytes);
    const std::uint64_t contentBytes =
        contentSize > 0 ? static_cast<std::uint64_t>(contentSize) : 0;

    if (contentBytes > remaining) {
      writeBatch(batch);
      printFound(fileName);
      endedEarly = true;
      break;
    }
    if (!isSafeName(fileName)) {
      if (batch.full()) writeBatch(batch);
      batch.addSkipped(fileName);
      if (copyContent(package, contentBytes, nullptr) != Copy::kDone) {
        endedEarly = true;
      }
      remaining -= contentBytes;
      continue;
    }

    const std::string shaderPath = workFilePath(workPath, fileName);
    const std::string prePath = preFilePath(shaderPath);
    const std::size_t entryBytes =
        headerSize + static_cast<std::size_t>(contentBytes);
    if (contentBytes <= kLargestBatchedContent) {
      if (!batch.canTake(prePath, shaderPath, entryBytes)) writeBatch(batch);
      unsigned char* bytes = batch.space(entryBytes);
      std::memcpy(bytes, preBuffer, headerSize);
      if (!take(package, bytes + headerSize,
                static_cast<std::size_t>(contentBytes), &remaining)) {
        // The file shrank under us; nothing of this entry is written.
        writeBatch(batch);
        printFound(fileName);
        endedEarly = true;
        break;
      }
      batch.add(fileName, prePath, shaderPath, headerSize, contentSize,
                static_cast<std::size_t>(contentBytes));
      continue;
    }

    // A large content streams from the package to its file, in bounded
    // memory, after everything before it is written.
    writeBatch(batch);
    printFound(fileName);
    writePreFile(preBuffer, headerSize, fileName);
    writeShaderFile(fileName, contentSize, package);
    remaining -= contentBytes;
    if (std::feof(package) || std::ferror(package)) {
      // The file shrank while its content was copied: writeShaderFile has
      // dropped the part it got, and the pre file goes with it.
      std::remove(prePath.c_str());
      endedEarly = true;
    }
  }
  writeBatch(batch);
  if (endedEarly) {
    std::printf("Package ends early, stopping: '%s'\n", filePath.c_str());
  }
  std::fclose(package);
}

void ShaderPackage::writePreFile(const unsigned char* data, std::size_t length,
                                 const std::string& name) {
  const std::string outPath = preFilePath(workFilePath(workPath, name));
  if (!writeWholeFile(outPath, data, length)) printWriteFailed(outPath);
}

void ShaderPackage::writeShaderFile(const std::string& name, std::int32_t size,
                                    std::FILE* package) {
  const std::string outPath = workFilePath(workPath, name);
  const std::uint64_t count = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  std::FILE* out = createWorkFile(outPath);
  if (out == nullptr) {
    printWriteFailed(outPath);
    copyContent(package, count, nullptr);
    return;
  }
  // Space set aside in one step costs a large file far less than a
  // reservation per block as the writes come (a seventh less CPU time for
  // 1 GiB).
  platform::reserveSpace(out, count);
  const Copy copy = copyContent(package, count, out);
  if (copy == Copy::kPackageEnded) {
    // Part of a content is no shader file; the caller reports the package.
    std::fclose(out);
    std::remove(outPath.c_str());
    return;
  }
  if (!closeWorkFile(out, copy == Copy::kDone, outPath)) {
    printWriteFailed(outPath);
    return;
  }
  printWritten(size, outPath);
}
