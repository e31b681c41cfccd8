#include "package/messages.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char* format, ...) {
  char line[1024];
  std::va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) return;
  if (static_cast<std::size_t>(length) < sizeof line) {
    platform::writeOutput(std::string(line, static_cast<std::size_t>(length)));
    return;
  }
  // A long path: format again into a buffer of the right size.
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(&text[0], text.size(), format, args);
  va_end(args);
  text.pop_back();
  platform::writeOutput(text);
}

}  // namespace

// A name or path goes in as printable(...).c_str(): the text lives until
// the line is written.
namespace message {

void usage() {
  say("usage: Quillmere.exe [spk path] [work path] extract/merge\n");
}

void completed(bool extraction) {
  say("Comleted %s\nPress a key to continue\n",
      extraction ? "extraction" : "merge");
}

void unknownMode(const std::string& word) {
  say("Warning: Unknown mode '%s', merging\n", printable(word).c_str());
}

void packageNotOpened(const std::string& packagePath) {
  say("could not open shaders.spk: '%s'\n", printable(packagePath).c_str());
}

void found(const std::string& name) {
  say("Found hlsl file: '%s'\n", printable(name).c_str());
}

void written(std::int32_t size, const std::string& path) {
  say("written %i bytes to '%s'\n", static_cast<int>(size),
      printable(path).c_str());
}

void notWritten(const std::string& path) {
  say("Could not write to '%s'\n", printable(path).c_str());
}

void unsafeName(const std::string& nameOrPath) {
  say("Warning: Unsafe name, skipped: '%s'\n", printable(nameOrPath).c_str());
}

void sameAsPackage(const std::string& path) {
  say("Warning: Same file as the package, skipped: '%s'\n",
      printable(path).c_str());
}

void sameAsEarlierEntry(const std::string& path) {
  say("Warning: Same file as an earlier entry, skipped: '%s'\n",
      printable(path).c_str());
}

void toolFile(const std::string& path) {
  say("Warning: One of the tool's own files beside the package, skipped: "
      "'%s'\n",
      printable(path).c_str());
}

void othersLink(const std::string& path) {
  say("Warning: A link of another user's, skipped: '%s'\n",
      printable(path).c_str());
}

void packageEndsEarly(const std::string& packagePath) {
  say("Package ends early, stopping: '%s'\n", printable(packagePath).c_str());
}

void nameTooLong(const std::string& packagePath) {
  say("Entry name too long, stopping: '%s'\n", printable(packagePath).c_str());
}

void noWorkFolder(const std::string& workPath) {
  say("Cause: the work folder '%s' does not exist; create it (mkdir) or "
      "check the path you gave.\n",
      printable(workPath).c_str());
}

void foundFiles(std::size_t count) {
  say("Found %i files\n", static_cast<int>(count));
}

void packageInWork(const std::string& path) {
  say("Warning: A package, not a shader, maybe left from swapped folders: "
      "'%s'\n",
      printable(path).c_str());
}

void oddCount() {
  say("Expected an even number of files in work path, aborting\n");
}

void listingFailed() { say("Failed enumerating files\n"); }

void noOwnPreFile(const std::string& firstPath, std::size_t more) {
  say("Cause: no pre file of its own: '%s' and %lu more; move such stray "
      "files (hidden ones too) out of the work folder.\n",
      printable(firstPath).c_str(), static_cast<unsigned long>(more));
}

void oddShaders() {
  say("Cause: every listed file has its own pre file, so the number of "
      "shaders is odd; add a placeholder such as padding.txt (see \"Adding, "
      "removing and renaming shaders\" in the README).\n");
}

void packageRefused(const std::string& packagePath) {
  say("Could not open '%s'\n", printable(packagePath).c_str());
}

void packageNotWritten(const std::string& packagePath) {
  say("Could not write to '%s'\n", printable(packagePath).c_str());
}

void cause(platform::Replacement::Cause why, const std::string& name) {
  using Cause = platform::Replacement::Cause;
  switch (why) {
    case Cause::kNone:
      return;
    case Cause::kBusy:
      say("Cause: another merge of this package is running; wait for it to "
          "end.\n");
      return;
    case Cause::kNoFolder:
      say("Cause: there is no folder '%s'; check the path you gave.\n",
          printable(name).c_str());
      return;
    case Cause::kFolderRefuses:
      say("Cause: the folder does not let this user create files; check its "
          "permissions.\n");
      return;
    case Cause::kReadOnly:
      say("Cause: the package is read-only; clear its read-only flag or fix "
          "its permissions.\n");
      return;
    case Cause::kReadOnlyVolume:
      say("Cause: the drive or file system is read-only; copy the game "
          "somewhere writable or remount it.\n");
      return;
    case Cause::kNotFolder:
      say("Cause: '%s' is a file, not a folder; give the folder that holds "
          "shaders.spk.\n",
          printable(name).c_str());
      return;
    case Cause::kDenied:
      say("Cause: this user may not replace the package or give its copies "
          "the same permissions; check its permissions.\n");
      return;
    case Cause::kEarlierRelease:
      say("Cause: '%s' was left by an earlier release of this tool; see the "
          "README on what it holds, then move it away.\n",
          printable(name).c_str());
      return;
    case Cause::kUnfinished:
      say("Cause: a merge was stopped while it rewrote the package; merge "
          "again through the name it was given, beside which '%s' holds the "
          "package as it was.\n",
          printable(name).c_str());
      return;
    case Cause::kNotRegular:
      say("Cause: shaders.spk is not a regular file (a folder or a device); "
          "give the folder that holds the package.\n");
      return;
    case Cause::kBrokenLink:
      say("Cause: shaders.spk is a link that leads to no file; fix the link "
          "or give the folder that holds the package.\n");
      return;
    case Cause::kUntrusted:
      say("Cause: '%s' was not made by this tool for this package; move it "
          "away and merge again.\n",
          printable(name).c_str());
      return;
    case Cause::kOwnName:
      say("Cause: the package is '%s', one of the tool's own files; put a "
          "copy of it in its place.\n",
          printable(name).c_str());
      return;
    case Cause::kDiskFull:
      say("Cause: the disk is full; free some space and merge again.\n");
      return;
    case Cause::kHeld:
      say("Cause: another program holds the package (the game or a virus "
          "scanner); close it and merge again.\n");
      return;
    case Cause::kUnsafeLink:
      say("Cause: a link of another user's is not followed; replace it with "
          "the file it leads to.\n");
      return;
    case Cause::kChanged:
      say("Cause: the package changed while the tool ran; merge again.\n");
      return;
    case Cause::kIo:
      say("Cause: the package or the folder could not be read or written "
          "(an I/O error).\n");
      return;
  }
}

void sharedFolder(const std::string& folder) {
  say("Warning: others may write to '%s'; they could swap the package while "
      "the tool runs\n",
      printable(folder).c_str());
}

void backupNotKept(const std::string& packagePath) {
  say("Warning: Could not make the backup '%s.bak'\n",
      printable(packagePath).c_str());
}

void backupHeldBy(const std::string& name) {
  say("Cause: the package you had is '%s'; the next merge makes it the "
      "backup.\n",
      printable(name).c_str());
}

void packageNotSynced(const std::string& packagePath) {
  say("Warning: Could not sync '%s'\n", printable(packagePath).c_str());
}

void newPackage(const std::string& packagePath) {
  say("Warning: No package was there before, creating a new one: '%s'\n",
      printable(packagePath).c_str());
}

void notOpened(const std::string& path) {
  say("Warning: Could not open '%s'\n", printable(path).c_str());
}

void tooLarge(const std::string& path) {
  say("Warning: HLSL too large: '%s'\n", printable(path).c_str());
}

void preNotOpened(const std::string& path) {
  say("Warning: Could not open: '%s'\n", printable(path).c_str());
}

void preTooLarge(const std::string& path) {
  say("Warning: pre HLSL too large: '%s'\n", printable(path).c_str());
}

void preTooSmall(const std::string& path) {
  say("Warning: pre HLSL too small: '%s'\n", printable(path).c_str());
}

void notShaderOfPre(const std::string& path) {
  say("Warning: Not the shader of its pre file, skipped: '%s'\n",
      printable(path).c_str());
}

void notRead(const std::string& path) {
  say("Warning: Could not read, skipped: '%s'\n", printable(path).c_str());
}

void merged(const std::string& path) {
  say("Merged: '%s'\n", printable(path).c_str());
}

void leftOut(std::uint32_t lost, std::uint32_t total, const std::string& name) {
  say("Warning: The package loses %lu of its %lu entries, the first '%s'; "
      "see \"A game update\" in the README\n",
      static_cast<unsigned long>(lost), static_cast<unsigned long>(total),
      printable(name).c_str());
}

}  // namespace message

std::string printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}
