#include "fuzz/fuzz_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "support/package_builder.h"
#include "support/temp_dir.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every input creates and removes a directory tree; on a RAM disk that
  // costs no disk traffic. TempDir follows TMPDIR.
  struct stat info;
  if (std::getenv("TMPDIR") == nullptr && stat("/dev/shm", &info) == 0 &&
      S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0) {
    setenv("TMPDIR", "/dev/shm", 0);
  }
  // A file without a name; the buffer holds a run's lines until
  // takeOutput(), so no limit on file sizes set for the tool touches them.
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("quillmere-fuzz-out-" + std::to_string(getpid())))
                               .string();
  if (std::freopen(path.c_str(), "w+", stdout) == nullptr) {
    std::perror(path.c_str());
    std::abort();
  }
  unlink(path.c_str());
  static char buffer[1 << 20];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  return 0;
}

std::string takeOutput() {
  std::fflush(stdout);
  std::string text(static_cast<std::size_t>(std::ftell(stdout)), '\0');
  const ssize_t got = pread(fileno(stdout), &text[0], text.size(), 0);
  if (got != static_cast<ssize_t>(text.size()) ||
      ftruncate(fileno(stdout), 0) != 0) {
    std::abort();
  }
  std::rewind(stdout);
  return text;
}

void fuzzFailure(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
  std::fflush(stderr);
  std::abort();
}

namespace {

// The layout, spelt out here rather than taken from the tool's own header:
// a reading built on the tool's constants and decoders would agree with
// any mistake in them. Package header: packageMark, entryCount; entry:
// entryWord0, entryWord1, nameLength, the name's UTF-16 units, contentSize,
// the content; every number 32-bit little-endian.
constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kFixedBytes = 12;  // up to the name

std::int32_t signedLe32At(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return static_cast<std::int32_t>(value);
}

// An entry header's working name: the low byte of each UTF-16 unit up to
// the first zero.
std::string nameOf(const std::string& header) {
  std::string name;
  for (std::size_t at = 12; at + 6 <= header.size() && header[at]; at += 2) {
    name += header[at];
  }
  return name;
}

}  // namespace

std::string preFileName(const std::string& name) {
  // ".hlsl" off, ".pre" on, counted in bytes whatever the name ends in.
  if (name.size() < 5) return "";
  return name.substr(0, name.size() - 5) + ".pre";
}

namespace {

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// At least five bytes, no control byte, DEL or / \ : * ? " < > |, no
// trailing dot or space, and no Windows device name before the first dot
// (spaces before that dot do not count, as Windows ignores them).
bool isFileName(const std::string& name) {
  if (name.size() < 5 || name.back() == '.' || name.back() == ' ') {
    return false;
  }
  for (unsigned char c : name) {
    if (c < 32 || c == 127 || std::strchr("/\\:*?\"<>|", c) != nullptr) {
      return false;
    }
  }
  std::string stem = upper(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (stem == device) return false;
  }
  const unsigned char n = stem.size() == 4 ? stem[3] : 0;
  return !((stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) &&
           ((n >= '0' && n <= '9') || n == 0xB9 || n == 0xB2 || n == 0xB3));
}

// The README's name rule, for a name and its pre file name both.
bool passesNameRule(const std::string& name) {
  return isFileName(name) && isFileName(preFileName(name));
}

// The README's listing order: bytes with a-z read as A-Z, then plain bytes
// (std::string compares bytes unsigned).
bool listedBefore(const std::string& a, const std::string& b) {
  return upper(a) != upper(b) ? upper(a) < upper(b) : a < b;
}

// A message line: `lead`, then `text` in quotes, control bytes as \xNN.
std::string quotedLine(const std::string& lead, const std::string& text) {
  std::string line = lead + "'";
  for (unsigned char c : text) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    line += c < 32 || c == 127 ? std::string(hex) : std::string(1, c);
  }
  return line + "'\n";
}

}  // namespace

bool isToolName(const std::string& name) {
  for (const char* own :
       {".tmp", ".bak", ".bak.tmp", ".undo", ".lock", ".orig"}) {
    if (name == std::string("shaders.spk") + own) return true;
  }
  // A working name: its role, "~" and eight lowercase hex digits.
  for (const char* role : {".new~", ".bak~", ".orig~", ".guard~"}) {
    const std::string stem = std::string("shaders.spk") + role;
    if (name.size() == stem.size() + 8 && name.rfind(stem, 0) == 0 &&
        name.find_first_not_of("0123456789abcdef", stem.size()) ==
            std::string::npos) {
      return true;
    }
  }
  return false;
}

// "QMRW" and -1: a rewrite in place that was stopped, which extraction and
// merge refuse, naming the guard a whole mark names (FNV-1a of the 42 + g
// bytes before its hash), else the package (docs/DEVELOPING.md has the
// layout). Empty for any other package.
std::string unfinishedCause(const std::string& bytes,
                            const std::string& packagePath) {
  if (bytes.size() < 8 || bytes.compare(0, 4, "QMRW") != 0 ||
      signedLe32At(bytes, 4) != -1) {
    return "";
  }
  std::string named = packagePath;
  const std::size_t g =
      bytes.size() < 42 ? 0 : (bytes[40] & 0xff) | (bytes[41] & 0xff) << 8;
  std::uint64_t hash = 14695981039346656037ull;
  for (std::size_t i = 0; i < 42 + g && i < bytes.size(); ++i) {
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
  }
  if (50 + g <= std::min<std::size_t>(bytes.size(), 512) &&
      static_cast<std::uint32_t>(signedLe32At(bytes, 42 + g)) ==
          static_cast<std::uint32_t>(hash) &&
      static_cast<std::uint32_t>(signedLe32At(bytes, 46 + g)) ==
          static_cast<std::uint32_t>(hash >> 32)) {
    named = bytes.substr(42, g);
  }
  const std::string guard = quotedLine("", named);
  return "Cause: a merge was stopped while it rewrote the package; merge "
         "again through the name it was given, beside which " +
         guard.substr(0, guard.size() - 1) + " holds the package as it was.\n";
}

Extraction expectExtraction(const std::string& bytes,
                            const std::string& packagePath,
                            const std::string& workPath) {
  Extraction out;
  const std::string unfinished = unfinishedCause(bytes, packagePath);
  if (!unfinished.empty()) {
    out.lines =
        quotedLine("could not open shaders.spk: ", packagePath) + unfinished;
    return out;
  }
  std::size_t at = kHeaderBytes;
  std::int32_t count = bytes.size() < at ? 1 : signedLe32At(bytes, 4);
  for (; count > 0; --count) {
    if (bytes.size() < at + kFixedBytes) break;
    const std::int32_t units = signedLe32At(bytes, at + 8);
    // A header above 1024 bytes (504 units) would not fit a pre file.
    if (units > 504) {
      out.lines += quotedLine("Entry name too long, stopping: ", packagePath);
      return out;
    }
    const std::size_t headerSize = 16 + 2 * std::max(0, units);
    if (bytes.size() < at + headerSize) break;
    const std::string header = bytes.substr(at, headerSize);
    const std::string name = nameOf(header);
    const std::int32_t contentSize = signedLe32At(header, headerSize - 4);
    const std::size_t contentBytes = std::max(0, contentSize);
    out.lines += quotedLine("Found hlsl file: ", name);
    if (bytes.size() < at + headerSize + contentBytes) break;
    const std::string content = bytes.substr(at + headerSize, contentBytes);
    at += headerSize + contentBytes;
    const std::string pre = preFileName(name);
    const std::string clash = out.files.count(pre) != 0 ? pre : name;
    if (!passesNameRule(name)) {
      out.lines += quotedLine("Warning: Unsafe name, skipped: ", name);
    } else if (out.files.count(clash) != 0) {
      out.lines +=
          quotedLine("Warning: Same file as an earlier entry, skipped: ",
                     workPath + "/" + clash);
    } else {
      // A Linux file system takes names of up to 255 bytes; a longer one is
      // a file that cannot be created, and the entry says so.
      if (pre.size() > 255) {
        out.lines += quotedLine("Could not write to ", workPath + "/" + pre);
      } else {
        out.files[pre] = header;
      }
      if (name.size() <= 255) out.files[name] = content;
      out.lines += quotedLine(
          name.size() > 255
              ? "Could not write to "
              : "written " + std::to_string(contentSize) + " bytes to ",
          workPath + "/" + name);
    }
  }
  if (count > 0) {
    out.lines += quotedLine("Package ends early, stopping: ", packagePath);
  }
  return out;
}

WorkFolder readWorkFolder(const std::string& path) {
  WorkFolder folder;
  for (const auto& item : std::filesystem::directory_iterator(path)) {
    const std::string name = item.path().filename().string();
    if (item.is_directory()) {
      folder.directories.insert(name);
    } else if (!readFile(item.path().string(), &folder.files[name])) {
      std::abort();
    }
  }
  return folder;
}

namespace {

// The listing keeps every name but ".", "..", ".svn", those holding ".pre"
// and, in the package folder, the names the tool keeps beside the package.
bool isListed(const std::string& name, bool packageFolder) {
  return name != "." && name != ".." && name != ".svn" &&
         name.find(".pre") == std::string::npos &&
         !(packageFolder && isToolName(name));
}

// The line naming the entries of the package `old` whose whole UTF-16 names
// none of the new `entries` has; "" when there are none or `old` is cut.
std::string lostLine(const std::string& old, const std::string& entries) {
  std::set<std::string> packed;
  for (std::size_t at = 0; at < entries.size();) {
    const std::size_t units = std::max(0, signedLe32At(entries, at + 8));
    packed.insert(entries.substr(at + 12, 2 * units));
    at += 16 + 2 * units + signedLe32At(entries, at + 12 + 2 * units);
  }
  const std::int64_t count = old.size() < 8 ? 0 : signedLe32At(old, 4);
  std::int64_t total = 0;
  std::int64_t lost = 0;
  std::string first;
  for (std::size_t at = 8; total < count; ++total) {
    if (old.size() < at + 12) return "";
    const std::size_t units = std::max(0, signedLe32At(old, at + 8));
    if (old.size() - at < 16 + 2 * units) return "";
    const std::size_t content =
        std::max(0, signedLe32At(old, at + 12 + 2 * units));
    if (old.size() - at - 16 - 2 * units < content) return "";
    if (packed.count(old.substr(at + 12, 2 * units)) == 0 && lost++ == 0) {
      first =
          nameOf(old.substr(at, 16 + 2 * std::min<std::size_t>(units, 504)));
    }
    at += 16 + 2 * units + content;
  }
  if (lost == 0) return "";
  const std::string line = quotedLine(
      "Warning: The package loses " + std::to_string(lost) + " of its " +
          std::to_string(total) + " entries, the first ",
      first);
  return line.substr(0, line.size() - 1) +
         "; see \"A game update\" in the README\n";
}

// The entry a listed name gives: its pre file, whole (an entry header as
// long as its own nameLength says, at most 1024 bytes) with the shader's
// size in its last four bytes, then the shader (below 65536 bytes) whose
// name ends in .hlsl in any case or is the one its pre file holds. "" and
// a warning when it is skipped.
std::string entryOf(const WorkFolder& work, const std::string& name,
                    const std::string& path, std::string* lines) {
  const auto shader = work.files.find(name);
  const auto pre = work.files.find(preFileName(name));
  const std::string header = pre == work.files.end() ? "" : pre->second;
  const std::string prePath = preFileName(path);
  const std::uint64_t units =
      header.size() < 16 ? 0 : std::max(0, signedLe32At(header, 8));
  const std::uint64_t whole = 16 + 2 * units;
  std::string warning;
  if (!passesNameRule(name)) {
    warning = quotedLine("Warning: Unsafe name, skipped: ", path);
  } else if (shader == work.files.end() || shader->second.size() >= 65536) {
    warning = (shader == work.files.end()
                   ? quotedLine("Warning: Could not open ", path)
                   : "") +
              quotedLine("Warning: HLSL too large: ", path);
  } else if (pre == work.files.end()) {
    warning = quotedLine("Warning: Could not open: ", prePath);
  } else if (header.size() > 1024 || header.size() > whole) {
    warning = quotedLine("Warning: pre HLSL too large: ", prePath);
  } else if (header.size() < whole) {
    warning = quotedLine("Warning: pre HLSL too small: ", prePath);
  } else if (upper(name.substr(name.size() - 5)) != ".HLSL" &&
             nameOf(header) != name) {
    warning =
        quotedLine("Warning: Not the shader of its pre file, skipped: ", path);
  }
  *lines += warning.empty() ? quotedLine("Merged: ", path) : warning;
  if (!warning.empty()) return "";
  return header.substr(0, header.size() - 4) +
         le32(static_cast<std::uint32_t>(shader->second.size())) +
         shader->second;
}

}  // namespace

MergeOutcome expectMerge(const WorkFolder& work, const std::string& workPath,
                         bool packageFolder, const std::string& packagePath,
                         bool hadOld, const std::string& old,
                         std::uint64_t limit) {
  MergeOutcome out;
  out.package = old;
  std::vector<std::string> listed;
  for (const auto& [name, bytes] : work.files) {
    if (isListed(name, packageFolder)) listed.push_back(name);
  }
  for (const std::string& name : work.directories) {
    if (isListed(name, packageFolder)) listed.push_back(name);
  }
  std::sort(listed.begin(), listed.end(), listedBefore);
  out.head = "Found " + std::to_string(listed.size()) + " files\n";
  for (const std::string& name : listed) {
    if (!packageFolder && upper(name) == "SHADERS.SPK") {
      out.head += quotedLine(
          "Warning: A package, not a shader, maybe left from swapped folders: ",
          workPath + "/" + name);
    }
  }
  if (listed.size() % 2 != 0) {
    out.head +=
        "Expected an even number of files in work path, aborting\n"
        "Failed enumerating files\n";
    // The cause: names without a pre file that names them, or, for a .hlsl
    // name, one that names no other listed name leading to it.
    std::vector<std::string> strays;
    for (const std::string& name : listed) {
      const auto pre = work.files.find(preFileName(name));
      const std::string named =
          pre == work.files.end() ? "" : nameOf(pre->second.substr(0, 1024));
      if (!passesNameRule(name) || pre == work.files.end() ||
          (named != name &&
           (upper(name.substr(name.size() - 5)) != ".HLSL" ||
            (std::count(listed.begin(), listed.end(), named) != 0 &&
             preFileName(named) == preFileName(name))))) {
        strays.push_back(name);
      }
    }
    const std::string line = strays.empty()
                                 ? ""
                                 : quotedLine("Cause: no pre file of its own: ",
                                              workPath + "/" + strays[0]);
    out.head +=
        strays.empty()
            ? "Cause: every listed file has its own pre file, so the number "
              "of shaders is odd; add a placeholder such as padding.txt (see "
              "\"Adding, removing and renaming shaders\" in the README).\n"
            : line.substr(0, line.size() - 1) + " and " +
                  std::to_string(strays.size() - 1) +
                  " more; move such stray files (hidden ones too) out of the "
                  "work folder.\n";
    return out;
  }
  const std::string unfinished =
      hadOld ? unfinishedCause(old, packagePath) : "";
  if (!unfinished.empty()) {
    out.head += quotedLine("Could not open ", packagePath) + unfinished;
    return out;
  }
  if (!hadOld) {
    out.head +=
        quotedLine("Warning: No package was there before, creating a new one: ",
                   packagePath);
  }
  std::string entries;
  std::uint32_t count = 0;
  for (const std::string& name : listed) {
    const std::string entry =
        entryOf(work, name, workPath + "/" + name, &out.entryLines);
    count += entry.empty() ? 0 : 1;
    entries += entry;
  }
  // The old package is copied to .orig when its header counts entries.
  out.keepsOriginal =
      hadOld && old.size() >= kHeaderBytes && signedLe32At(old, 4) > 0;
  const std::uint64_t size = kHeaderBytes + entries.size();
  if (size <= limit) out.tail = lostLine(old, entries);
  if (size > limit || (out.keepsOriginal && old.size() > limit)) {
    out.tail += quotedLine("Could not write to ", packagePath) +
                "Cause: the disk is full; free some space and merge again.\n";
    out.cutShort = true;
    return out;
  }
  out.replaced = true;
  out.package = le32(1) + le32(count) + entries;
  return out;
}

bool printedAsExpected(const MergeOutcome& outcome, const std::string& lines) {
  const std::size_t ends = outcome.head.size() + outcome.tail.size();
  if (lines.size() < ends || lines.rfind(outcome.head, 0) != 0 ||
      lines.compare(lines.size() - outcome.tail.size(), std::string::npos,
                    outcome.tail) != 0) {
    return false;
  }
  const std::string middle =
      lines.substr(outcome.head.size(), lines.size() - ends);
  if (!outcome.cutShort) return middle == outcome.entryLines;
  return outcome.entryLines.rfind(middle, 0) == 0 &&
         (middle.empty() || middle.back() == '\n');
}

namespace {

constexpr std::size_t kMaxWorkItems = 16;
constexpr std::uint32_t kLimitUnit = 16;
constexpr std::uint32_t kMissingFlag = 1;
constexpr std::uint32_t kPackageDirectoryFlag = 2;
constexpr std::uint32_t kLimitedFlag = 4;
constexpr std::uint32_t kNoPackageFlag = 8;
constexpr std::size_t kNameLengths = 64;
constexpr std::size_t kPreLengths = 1100;
constexpr std::uint32_t kShaderSizes = 70000;

}  // namespace

std::string encodeWorkDirectory(const WorkDirectory& work) {
  std::string out;
  out +=
      static_cast<char>((work.missing ? kMissingFlag : 0) |
                        (work.isPackageDirectory ? kPackageDirectoryFlag : 0) |
                        (work.limited ? kLimitedFlag : 0) |
                        (work.noPackage ? kNoPackageFlag : 0));
  if (work.limited) out += le32(work.limit / kLimitUnit).substr(0, 2);
  for (const WorkItem& item : work.items) {
    out += static_cast<char>(item.kind);
    out += static_cast<char>(item.name.size() % kNameLengths);
    out += item.name.substr(0, kNameLengths - 1);
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kPre) {
      out += le32(static_cast<std::uint32_t>(item.pre.size())).substr(0, 2);
      out += item.pre;
    }
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kShader) {
      out += le32(item.shaderSize).substr(0, 3);
    }
  }
  return out;
}

WorkDirectory decodeWorkDirectory(const std::uint8_t* data, std::size_t size) {
  // Past the end every byte reads as zero.
  std::size_t at = 0;
  const auto number = [&](int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i, ++at) {
      value |= (at < size ? data[at] : 0u) << (8 * i);
    }
    return value;
  };
  const auto text = [&](std::size_t length) {
    const std::size_t from = std::min(at, size);
    at = from + std::min(length, size - from);
    return std::string(reinterpret_cast<const char*>(data) + from, at - from);
  };
  WorkDirectory work;
  const std::uint32_t flags = number(1);
  work.missing = (flags & kMissingFlag) != 0;
  work.isPackageDirectory = (flags & kPackageDirectoryFlag) != 0;
  work.limited = (flags & kLimitedFlag) != 0;
  work.noPackage = (flags & kNoPackageFlag) != 0;
  if (work.limited) work.limit = number(2) * kLimitUnit;
  while (at < size && work.items.size() < kMaxWorkItems) {
    WorkItem item;
    item.kind = static_cast<WorkItem::Kind>(number(1) % 4);
    item.name = text(number(1) % kNameLengths);
    // A file name holds neither a separator nor a zero byte.
    for (char& c : item.name) {
      if (c == '/' || c == '\0') c = '_';
    }
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kPre) {
      item.pre = text(number(2) % kPreLengths);
    }
    if (item.kind == WorkItem::kPair || item.kind == WorkItem::kShader) {
      item.shaderSize = number(3) % kShaderSizes;
    }
    work.items.push_back(std::move(item));
  }
  return work;
}
