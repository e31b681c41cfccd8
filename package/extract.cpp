// Extraction: walks shaders.spk once, front to back, and writes a pre file
// and a shader file per entry into the work directory.
//
// A package may come from anywhere, cut short or with hostile names. The
// reader measures every length against what the package still holds; a
// name passes the name rule before it becomes a path; and no entry writes
// the package or a file an earlier entry wrote.
#include <cstdint>
#include <string>

#include "package/entry_writer.h"
#include "package/format.h"
#include "package/messages.h"
#include "package/package_reader.h"
#include "package/shader_package.h"
#include "package/work_name.h"
#include "package/written_files.h"
#include "platform/platform.h"

namespace {

// Walks the entries; false when the package ended before its count did.
// A missing work folder fails every entry alike; that is said once, after
// the first entry's own lines.
bool extractEntries(const std::string& workPath, const std::string& packagePath,
                    PackageReader* reader, WrittenFiles* written) {
  bool explained = platform::pathKind(workPath.empty() ? "/" : workPath) !=
                   platform::PathKind::kMissing;
  std::int32_t entryCount = 0;
  if (!reader->readHeader(&entryCount)) return false;
  unsigned char preBuffer[format::kMaxEntryHeaderSize];
  for (std::int32_t left = entryCount; left >= 1; --left) {
    std::size_t headerSize = 0;
    switch (reader->readEntryHeader(preBuffer, &headerSize)) {
      case PackageReader::Record::kWhole:
        break;
      case PackageReader::Record::kEnded:
        return false;
      case PackageReader::Record::kTooLong:
        message::nameTooLong(packagePath);
        return true;
    }
    const std::string fileName = workingName(preBuffer, headerSize);
    const std::int32_t contentSize =
        format::readLe32Signed(preBuffer + headerSize - format::kSizeFieldSize);
    message::found(fileName);
    const std::uint64_t contentBytes = format::contentBytes(contentSize);
    // Nothing of an entry whose content the package cannot hold is written.
    if (!reader->holds(contentBytes)) return false;
    if (!isSafeName(fileName)) {
      message::unsafeName(fileName);
      bool ignored = false;
      reader->copy(contentBytes, nullptr, &ignored);
      continue;
    }
    if (!writeEntry(workPath, fileName, preBuffer, headerSize, contentSize,
                    reader, written)) {
      return false;
    }
    if (!explained) message::noWorkFolder(workPath);
    explained = true;
  }
  return true;
}

}  // namespace

void ShaderPackage::extract() {
  const std::string filePath = packageFilePath(pksPath);
  std::uint64_t size = 0;
  // A directory, FIFO or device is no package.
  const platform::File package = platform::openForReading(filePath, &size);
  // Nor is one a merge is rewriting, or left part new, part old: the merge
  // through the name it was given puts it back first.
  std::string why;
  const platform::Replacement::Cause refused =
      package.isOpen() ? platform::checkReadable(filePath, package, &why)
                       : platform::Replacement::Cause::kNone;
  if (!package.isOpen() || refused != platform::Replacement::Cause::kNone) {
    message::packageNotOpened(filePath);
    // The package given instead of its folder.
    if (!package.isOpen() &&
        platform::pathKind(pksPath) == platform::PathKind::kFile) {
      message::cause(platform::Replacement::Cause::kNotFolder, pksPath);
    }
    message::cause(refused, why);
    return;
  }
  PackageReader reader(package, size);
  WrittenFiles written(package, pksPath, workPath);
  if (!extractEntries(workPath, filePath, &reader, &written)) {
    message::packageEndsEarly(filePath);
  }
}
