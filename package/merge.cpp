// The merge: rebuilds shaders.spk from the work directory, one entry per
// listed name, each from its pre file and the listed shader file itself.
//
// A work directory is edited by hand, so the merge packs only what the user
// means: a listed name is checked by the name rule before any file of it is
// opened, and packed only when it is the shader file its pre file belongs
// to. The package the user had is never lost: the new one is written beside
// it and moved over it only once every byte is on disk, and the old one is
// kept as shaders.spk.bak.
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "package/format.h"
#include "package/shader_package.h"
#include "package/work_name.h"
#include "platform/platform.h"

namespace {

// The new package is written beside the old one under this suffix and only
// moved over it once every byte is on disk. One found when a merge starts is
// what a killed merge left.
constexpr char kTempSuffix[] = ".tmp";
// The package as it was before the last successful merge.
constexpr char kBackupSuffix[] = ".bak";

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
static_assert(format::kMaxPreFileSize >=
                  format::kEntryFixedSize + format::kSizeFieldSize,
              "a pre file has room for its size field");

// Prints a message whose one %s is a path.
void printPath(const char* format, const std::string& path) {
  std::printf(format, printable(path).c_str());
}

// The size probe: opens `path` and sets `size` to its size when it is small
// enough to merge, else to -1. Returns the open file (kNoFile when it could
// not be opened) so the data is later read from the very file measured.
platform::FileHandle openAndProbe(const std::string& path, long* size) {
  std::uint64_t found = 0;
  const platform::FileHandle file = platform::openForReading(path, &found);
  if (file == platform::kNoFile) {
    printPath("Warning: Could not open '%s'\n", path);
    *size = -1;
    return platform::kNoFile;
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
  const platform::FileHandle pre = platform::openForReading(prePath, &preSize);
  if (pre == platform::kNoFile) {
    printPath("Warning: Could not open: '%s'\n", prePath);
    return 0;
  }
  if (preSize > format::kMaxPreFileSize) {
    printPath("Warning: pre HLSL too large: '%s'\n", prePath);
    platform::closeFile(pre);
    return 0;
  }
  // What counts is what could be read, should the file have changed since.
  const std::size_t got =
      platform::readFile(pre, buffer, static_cast<std::size_t>(preSize));
  platform::closeFile(pre);
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
    printPath("Warning: pre HLSL too small: '%s'\n", prePath);
    return 0;
  }
  if (got > expected) {
    printPath("Warning: pre HLSL too large: '%s'\n", prePath);
    return 0;
  }
  return got;
}

bool endsInHlsl(const std::string& name) {
  const std::size_t n = format::kStemCut;
  if (name.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = name[name.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != format::kShaderSuffix[i]) return false;
  }
  return true;
}

// Builds the entry of the listed `name`, the work file `filePath`, in
// `buffer`: the pre file's bytes with their size field set to the content
// that follows, then the listed file's bytes. Returns the entry's length, or
// 0 when it is skipped (with its warnings printed); nothing of a skipped
// entry reaches the package.
std::size_t buildEntry(const std::string& name, const std::string& filePath,
                       unsigned char* buffer) {
  if (!isSafeName(name)) {
    printPath("Warning: Unsafe name, skipped: '%s'\n", filePath);
    return 0;
  }

  long size = -1;
  const platform::FileHandle shader = openAndProbe(filePath, &size);
  if (size < 0) {
    if (shader != platform::kNoFile) platform::closeFile(shader);
    printPath("Warning: HLSL too large: '%s'\n", filePath);
    return 0;
  }

  const std::size_t preSize = readPreFile(preFilePath(filePath), buffer);
  if (preSize == 0) {
    platform::closeFile(shader);
    return 0;
  }
  // A backup such as water.orig leads to water.pre too, but is not the
  // shader that pre file was written for: packing it would put a second
  // water.hlsl entry into the package.
  if (!endsInHlsl(name) && workingName(buffer, preSize) != name) {
    printPath("Warning: Not the shader of its pre file, skipped: '%s'\n",
              filePath);
    platform::closeFile(shader);
    return 0;
  }

  // The size field tells what was read, not what was probed, in case the
  // file changed in between; the probed size bounds the read.
  const std::size_t contentSize = platform::readFile(
      shader, buffer + preSize, static_cast<std::size_t>(size));
  platform::closeFile(shader);
  format::writeLe32(buffer + preSize - format::kSizeFieldSize,
                    static_cast<std::uint32_t>(contentSize));
  return preSize + contentSize;
}

// Makes the header tell how many entries really follow, then gets every
// byte to the disk. Closes the package whatever happens.
bool finishPackage(std::FILE* package, std::uint32_t entryCount) {
  unsigned char field[format::kSizeFieldSize];
  format::writeLe32(field, entryCount);
  bool ok = std::ferror(package) == 0 &&
            std::fseek(package, static_cast<long>(format::kEntryCountOffset),
                       SEEK_SET) == 0 &&
            std::fwrite(field, 1, sizeof field, package) == sizeof field &&
            platform::syncFile(package);
  return std::fclose(package) == 0 && ok;
}

}  // namespace

void ShaderPackage::merge() {
  const std::string packagePath = packageFilePath(pksPath);
  const std::string tempPath = packagePath + kTempSuffix;
  // The remains of a killed merge would otherwise be listed when the work
  // directory is the package directory, and stand in the way of this one.
  std::remove(tempPath.c_str());

  if (!listWorkFiles()) {
    std::printf("Failed enumerating files\n");
    return;
  }

  // Renaming over a read-only package would go around its protection.
  const platform::Target target = platform::probeTarget(packagePath);
  // Declared before the stream so it outlives the stream's close.
  std::vector<char> outputBuffer(kOutputBufferSize);
  std::FILE* package = target == platform::Target::kReadOnly
                           ? nullptr
                           : platform::createNewFile(tempPath);
  if (package == nullptr) {
    printPath("Could not open '%s'\n", packagePath);
    return;
  }
  std::setvbuf(package, outputBuffer.data(), _IOFBF, outputBuffer.size());
  if (target == platform::Target::kWritable) {
    platform::copyPermissions(package, packagePath);
  }

  writeHeader(package);
  std::vector<unsigned char> buffer(kEntryBufferSize);
  std::uint32_t entriesWritten = 0;
  std::uint64_t sinceWriteback = 0;
  bool ok = std::ferror(package) == 0;
  while (ok && !fileList.empty()) {
    const std::string name = std::move(fileList.front());
    fileList.pop_front();
    const std::string filePath = workFilePath(workPath, name);
    const std::size_t length = buildEntry(name, filePath, buffer.data());
    if (length == 0) continue;
    ok = std::fwrite(buffer.data(), 1, length, package) == length;
    if (ok) {
      ++entriesWritten;
      sinceWriteback += length;
      if (sinceWriteback >= kWritebackStep) {
        platform::startWriteback(package);
        sinceWriteback = 0;
      }
      printPath("Merged: '%s'\n", filePath);
    }
  }
  // A failed write ends the merge; the names left are not packed.
  fileList.clear();

  if (ok) {
    ok = finishPackage(package, entriesWritten) &&
         platform::replaceFile(tempPath, packagePath,
                               packagePath + kBackupSuffix);
  } else {
    std::fclose(package);
  }
  if (!ok) {
    std::remove(tempPath.c_str());
    printPath("Could not write to '%s'\n", packagePath);
  }
}

void ShaderPackage::writeHeader(std::FILE* package) {
  unsigned char header[format::kPackageHeaderSize];
  format::writeLe32(header, format::kPackageMark);
  format::writeLe32(header + format::kEntryCountOffset,
                    static_cast<std::uint32_t>(fileList.size()));
  std::fwrite(header, 1, sizeof header, package);
}

long ShaderPackage::getFileSize(const std::string& path) {
  long size = -1;
  const platform::FileHandle file = openAndProbe(path, &size);
  if (file != platform::kNoFile) platform::closeFile(file);
  return size;
}
