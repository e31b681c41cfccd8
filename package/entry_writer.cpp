#include "package/entry_writer.h"

#include "package/format.h"
#include "package/messages.h"
#include "package/shader_package.h"

namespace {

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

void open(const std::string& path, Target* target) {
  target->path = path;
  target->opened = platform::openForWriting(path, &target->file, &target->id);
  target->ours = target->opened == platform::Opened::kCreated;
}

// Leaves nothing of the file but what was there before this run, and that
// only if the run never emptied it.
void discard(Target* target) {
  target->file.close();
  if (target->ours) platform::removeFile(target->path);
  target->ours = false;
}

// Whether a file of the entry is another user's link, the package or one
// of the tool's files beside it, a file an earlier entry wrote, or the
// entry's other file under a second name; `path` is set to the one that
// is.
WrittenFiles::Clash clashOf(const Target& pre, const Target& shader,
                            WrittenFiles* written, const std::string** path) {
  for (const Target* target : {&pre, &shader}) {
    *path = &target->path;
    if (target->opened == platform::Opened::kOthersLink) {
      return WrittenFiles::Clash::kOthersLink;
    }
  }
  *path = &pre.path;
  if (pre.opened == platform::Opened::kExisting) {
    const WrittenFiles::Clash clash = written->clashOf(pre.id);
    if (clash != WrittenFiles::Clash::kNone) return clash;
  }
  *path = &shader.path;
  if (shader.opened != platform::Opened::kExisting) {
    return WrittenFiles::Clash::kNone;
  }
  const WrittenFiles::Clash clash = written->clashOf(shader.id);
  if (clash != WrittenFiles::Clash::kNone) return clash;
  // A new pre file is only identified now that it matters.
  platform::FileId preId = pre.id;
  const bool known = pre.opened == platform::Opened::kExisting ||
                     (pre.opened == platform::Opened::kCreated &&
                      platform::identify(pre.file, &preId));
  return known && preId == shader.id ? WrittenFiles::Clash::kEarlierEntry
                                     : WrittenFiles::Clash::kNone;
}

// Says why the entry is skipped, as clashOf found it.
void warn(WrittenFiles::Clash clash, const std::string& path) {
  if (clash == WrittenFiles::Clash::kOthersLink) {
    message::othersLink(path);
  } else if (clash == WrittenFiles::Clash::kPackage) {
    message::sameAsPackage(path);
  } else if (clash == WrittenFiles::Clash::kToolFile) {
    message::toolFile(path);
  } else {
    message::sameAsEarlierEntry(path);
  }
}

// The entry's files are now ones this run writes.
void accept(const std::string& name, const Target& pre, const Target& shader,
            WrittenFiles* written) {
  for (const Target* target : {&pre, &shader}) {
    if (target->opened == platform::Opened::kExisting) {
      written->addExisting(target->id);
    }
  }
  if (pre.opened == platform::Opened::kCreated ||
      shader.opened == platform::Opened::kCreated) {
    written->addCreated(name);
  }
}

// Copies the content into the shader file. On a failed write the content is
// passed over and nothing of the file is left. False when the package ended
// inside the content.
bool writeShaderFile(Target* shader, std::uint64_t count, PackageReader* reader,
                     bool* written) {
  bool writeFailed = !shader->file.isOpen();
  if (!writeFailed && shader->opened == platform::Opened::kExisting) {
    shader->ours = platform::truncateTo(shader->file, 0);
    writeFailed = !shader->ours;
  }
  const bool whole =
      reader->copy(count, writeFailed ? nullptr : &shader->file, &writeFailed);
  *written = shader->file.close() && !writeFailed && whole;
  if (!*written) discard(shader);
  return whole;
}

// Writes the entry header bytes; a file that did not get them all is
// removed, so no half file is left for a merge to pack.
bool writePreFile(Target* pre, const unsigned char* header, std::size_t size) {
  bool ok = platform::writeAt(pre->file, 0, header, size);
  ok = pre->file.close() && ok;
  if (!ok) discard(pre);
  return ok;
}

}  // namespace

// The pre file is written last: it marks the entry whole. Until then it is
// empty, so a run killed while the shader file is written leaves an entry
// the merge refuses with a warning, never a cut shader it would pack.
bool writeEntry(const std::string& workPath, const std::string& name,
                const unsigned char* header, std::size_t headerSize,
                std::int32_t contentSize, PackageReader* reader,
                WrittenFiles* written) {
  const std::uint64_t count = format::contentBytes(contentSize);
  Target pre;
  Target shader;
  const std::string shaderPath = workFilePath(workPath, name);
  const std::string prePath = preFilePath(shaderPath);
  bool ignored = false;
  // Neither file is opened: a name of the tool's need not exist yet to be
  // one a merge would replace.
  const bool shaderIsTools = written->besidePackage(name);
  if (shaderIsTools || written->besidePackage(preFilePath(name))) {
    message::toolFile(shaderIsTools ? shaderPath : prePath);
    return reader->copy(count, nullptr, &ignored);
  }
  open(prePath, &pre);
  open(shaderPath, &shader);
  const std::string* clashing = nullptr;
  const WrittenFiles::Clash clash = clashOf(pre, shader, written, &clashing);
  if (clash != WrittenFiles::Clash::kNone) {
    warn(clash, *clashing);
    discard(&pre);
    discard(&shader);
    return reader->copy(count, nullptr, &ignored);
  }
  accept(name, pre, shader, written);

  if (pre.opened == platform::Opened::kExisting) {
    pre.ours = platform::truncateTo(pre.file, 0);
    if (!pre.ours) pre.file.close();
  }
  if (!pre.file.isOpen()) message::notWritten(pre.path);

  bool shaderWritten = false;
  if (!writeShaderFile(&shader, count, reader, &shaderWritten)) {
    // Part of an entry is no entry.
    discard(&pre);
    return false;
  }
  if (pre.file.isOpen() && !writePreFile(&pre, header, headerSize)) {
    message::notWritten(pre.path);
  }
  if (shaderWritten) {
    message::written(contentSize, shader.path);
  } else {
    message::notWritten(shader.path);
  }
  return true;
}
