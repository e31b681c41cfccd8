#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "package/format.h"
#include "package/shader_package.h"
#include "platform/platform.h"

namespace {

// The new package is written beside the old one under this suffix and only
// moved over it once every byte is on disk, so a failed merge never costs
// the user the package they had.
constexpr char kTempSuffix[] = ".tmp";

// Entries go to the package in writes of this size, not one per entry.
constexpr std::size_t kOutputBufferSize = 256 * 1024;

// Every time this much more has been written, the system is asked to start
// putting it on the disk, so the disk works while we read the next work
// files and the sync at the end finds little left to wait for.
constexpr std::uint64_t kWritebackStep = 8 * 1024 * 1024;

// An entry in memory: its pre bytes (at most 1024) followed by its content
// (below 65536), so the whole entry goes out in one write or not at all.
constexpr std::size_t kEntryBufferSize =
    format::kMaxPreFileSize +
    static_cast<std::size_t>(format::kShaderFileSizeLimit);

// Opens a regular file for reading and sets `size` to its size; null when it
// cannot be opened or is not a regular file (fopen accepts a directory on
// some systems). The stream is unbuffered: every file is read once, whole,
// straight into the caller's buffer.
std::FILE* openRegularFile(const std::string& path, std::uint64_t* size) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return nullptr;
  if (!platform::fileSize(file, size)) {
    std::fclose(file);
    return nullptr;
  }
  std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

// The size probe: opens `path` and sets `size` to its size when it is small
// enough to merge, else to -1. Returns the open file (or null when it could
// not be opened) so a caller that also needs the data opens it only once.
std::FILE* openAndProbe(const std::string& path, long* size) {
  std::uint64_t found = 0;
  std::FILE* file = openRegularFile(path, &found);
  if (file == nullptr) {
    std::printf("Warning: Could not open '%s'\n", path.c_str());
    *size = -1;
    return nullptr;
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
  std::FILE* pre = openRegularFile(prePath, &preSize);
  if (pre == nullptr) {
    std::printf("Warning: Could not open: '%s'\n", prePath.c_str());
    return 0;
  }
  if (preSize > format::kMaxPreFileSize) {
    std::printf("Warning: pre HLSL too large: '%s'\n", prePath.c_str());
    std::fclose(pre);
    return 0;
  }
  // What counts is what could be read, should the file have changed since.
  std::size_t got =
      std::fread(buffer, 1, static_cast<std::size_t>(preSize), pre);
  std::fclose(pre);
  // A pre file is an entry header, and its own nameLength tells how long
  // that header is. One shorter or longer than that (cut, or edited by
  // hand) would shift every entry after it, and the package would no
  // longer read the way its header counts it; so it is skipped.
  std::uint64_t expected = format::kEntryFixedSize + format::kSizeFieldSize;
  if (got >= expected) {
    const std::int32_t nameLength =
        format::readLe32Signed(buffer + format::kNameLengthOffset);
    if (nameLength > 0) {
      expected +=
          static_cast<std::uint64_t>(nameLength) * format::kBytesPerCodeUnit;
    }
  }
  if (got < expected) {
    std::printf("Warning: pre HLSL too small: '%s'\n", prePath.c_str());
    return 0;
  }
  if (got > expected) {
    std::printf("Warning: pre HLSL too large: '%s'\n", prePath.c_str());
    return 0;
  }
  return got;
}

// Builds the entry of the listed `name` in `buffer`: the pre file's bytes with
// their size field set to the content that follows, then that content. Sets
// `shaderPath` to the file the content came from. Returns the entry's length,
// or 0 when it is skipped (with its warnings printed); nothing of a skipped
// entry reaches the package.
std::size_t buildEntry(const std::string& workPath, const std::string& name,
                       unsigned char* buffer, std::string* shaderPath) {
  std::string filePath = workFilePath(workPath, name);
  if (!hasStem(name)) {
    std::printf("Warning: Unsafe name, skipped: '%s'\n", filePath.c_str());
    return 0;
  }

  long size = -1;
  std::FILE* listed = openAndProbe(filePath, &size);
  if (size < 0) {
    if (listed != nullptr) std::fclose(listed);
    std::printf("Warning: HLSL too large: '%s'\n", filePath.c_str());
    return 0;
  }

  std::string prePath = preFilePath(filePath);
  *shaderPath = shaderFilePath(prePath);
  // For a name ending in ".hlsl" the stem leads back to the listed file: its
  // data is read through the handle the size came from. Any other name only
  // lends its size; the data comes from the stem's ".hlsl" file.
  std::FILE* shader = nullptr;
  if (*shaderPath == filePath) {
    shader = listed;
  } else {
    std::fclose(listed);
  }

  std::size_t preSize = readPreFile(prePath, buffer);
  if (preSize == 0) {
    if (shader != nullptr) std::fclose(shader);
    return 0;
  }
  std::uint64_t ignored = 0;
  if (shader == nullptr) shader = openRegularFile(*shaderPath, &ignored);
  if (shader == nullptr) {
    std::printf("Warning: Could not open: '%s'\n", shaderPath->c_str());
    return 0;
  }

  // The size field tells what was read, not what was probed, in case the
  // file changed in between; the probed size bounds the read.
  std::size_t contentSize =
      std::fread(buffer + preSize, 1, static_cast<std::size_t>(size), shader);
  std::fclose(shader);
  format::writeLe32(buffer + preSize - format::kSizeFieldSize,
                    static_cast<std::uint32_t>(contentSize));
  return preSize + contentSize;
}

// Makes the header tell how many entries really follow, then gets every
// byte to the disk. Closes the package whatever happens.
bool finishPackage(std::FILE* package, std::uint32_t entryCount) {
  unsigned char field[format::kSizeFieldSize];
  format::writeLe32(field, entryCount);
  bool ok =
      std::ferror(package) == 0 &&
      std::fseek(package,
                 static_cast<long>(format::kPackageHeaderSize - sizeof field),
                 SEEK_SET) == 0 &&
      std::fwrite(field, 1, sizeof field, package) == sizeof field &&
      platform::syncFile(package);
  return std::fclose(package) == 0 && ok;
}

}  // namespace

void ShaderPackage::merge() {
  if (!listWorkFiles()) {
    std::printf("Failed enumerating files\n");
    return;
  }

  const std::string packagePath = packageFilePath(pksPath);
  const std::string tempPath = packagePath + kTempSuffix;
  // Declared before the stream so it outlives the stream's close.
  std::vector<char> outputBuffer(kOutputBufferSize);
  std::FILE* package = std::fopen(tempPath.c_str(), "wb");
  if (package == nullptr) {
    std::printf("Could not open '%s'\n", packagePath.c_str());
    return;
  }
  std::setvbuf(package, outputBuffer.data(), _IOFBF, outputBuffer.size());

  writeHeader(package);
  std::vector<unsigned char> buffer(kEntryBufferSize);
  std::string shaderPath;
  std::uint32_t entriesWritten = 0;
  std::uint64_t sinceWriteback = 0;
  bool ok = std::ferror(package) == 0;
  while (ok && !fileList.empty()) {
    std::string name = std::move(fileList.front());
    fileList.pop_front();
    std::size_t length = buildEntry(workPath, name, buffer.data(), &shaderPath);
    if (length == 0) continue;
    ok = std::fwrite(buffer.data(), 1, length, package) == length;
    if (ok) {
      ++entriesWritten;
      sinceWriteback += length;
      if (sinceWriteback >= kWritebackStep) {
        platform::startWriteback(package);
        sinceWriteback = 0;
      }
      std::printf("Merged: '%s'\n", shaderPath.c_str());
    }
  }
  // A failed write ends the merge; the names left are not packed.
  fileList.clear();

  if (ok) {
    ok = finishPackage(package, entriesWritten) &&
         platform::replaceFile(tempPath, packagePath);
  } else {
    std::fclose(package);
  }
  if (!ok) {
    std::remove(tempPath.c_str());
    std::printf("Could not write to '%s'\n", packagePath.c_str());
  }
}

void ShaderPackage::writeHeader(std::FILE* package) {
  unsigned char header[format::kPackageHeaderSize];
  format::writeLe32(header, format::kPackageMark);
  format::writeLe32(header + 4, static_cast<std::uint32_t>(fileList.size()));
  std::fwrite(header, 1, sizeof header, package);
}

long ShaderPackage::getFileSize(const std::string& path) {
  long size = -1;
  std::FILE* file = openAndProbe(path, &size);
  if (file != nullptr) std::fclose(file);
  return size;
}
