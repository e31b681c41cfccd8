#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "package/shader_package.h"
#include "support/capture.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "support/child.h"
#endif

namespace {

namespace fs = std::filesystem;
using Files = FileTree;

// A package directory holding shaders.spk, the work directory and, beside
// it, files that a name leading out of the work directory would hit.
class Scene {
 public:
  explicit Scene(const std::string& package) : work(dir.file("work")) {
    writeFile(dir.file("shaders.spk"), package);
    makeDirectory(work);
    writeFile(dir.file("sentinel.hlsl"), "keep");
    writeFile(dir.file("sentinel.pre"), "keep");
    outside = listTree(dir.path());
  }

  void run() const {
    ShaderPackage package;
    package.setPaths(packageDir.empty() ? dir.path() : packageDir, work);
    package.extract();
  }
  std::string extract() const {
    return captureStdout([this] { run(); });
  }

  // Everything outside the work directory is as the scene left it.
  void expectOutsideUntouched() {
    Files now = listTree(dir.path());
    for (auto it = now.begin(); it != now.end();) {
      it = it->first.rfind("work/", 0) == 0 ? now.erase(it) : std::next(it);
    }
    EXPECT_EQ(now, outside);
  }

  TempDir dir;
  std::string work;
  std::string packageDir;  // dir unless set
  Files outside;
};

std::string found(const std::string& shown) {
  return "Found hlsl file: '" + shown + "'\n";
}
std::string written(int size, const std::string& path) {
  return "written " + std::to_string(size) + " bytes to '" + path + "'\n";
}
std::string cannotWrite(const std::string& path) {
  return "Could not write to '" + path + "'\n";
}

// The output and work files of a well-formed entry named `name`.
void expectEntry(const TestEntry& entry, const std::string& name,
                 const std::string& pre, const std::string& workPath,
                 std::string* out, Files* files) {
  *out += found(name) + written(static_cast<int>(entry.content.size()),
                                workPath + "/" + name);
  (*files)[name] = entry.content;
  (*files)[pre] = entryHeaderBytes(entry);
}

TEST(ExtractTest, WritesEachEntryAndOverwritesOnlyItsOwnFiles) {
  TestEntry water =
      makeEntry("water.hlsl", "float4 main() : SV_Target;\n", 0xDEADBEEF, 7);
  TestEntry sky = makeEntry("sky.hlsl", std::string("\0\xFF\r\n", 4), 1, 2);
  // Over 3 MiB in a pattern that no copy block repeats.
  TestEntry large = makeEntry("large.hlsl", "");
  for (int i = 0; i < (3 << 20) + 99; ++i) large.content += char(i % 251);
  Scene scene(buildPackage({water, sky, large}));
  writeFile(scene.work + "/water.hlsl", std::string(500, 'x'));
  writeFile(scene.work + "/notes.txt", "mine");

  std::string out;
  Files files = {{"notes.txt", "mine"}};
  expectEntry(water, "water.hlsl", "water.pre", scene.work, &out, &files);
  expectEntry(sky, "sky.hlsl", "sky.pre", scene.work, &out, &files);
  expectEntry(large, "large.hlsl", "large.pre", scene.work, &out, &files);
  EXPECT_EQ(scene.extract(), out);
  EXPECT_EQ(listTree(scene.work), files);
  scene.expectOutsideUntouched();
}

// No entry writes the package being read or the tool's files beside it,
// and no two entries of one run write the same file, whatever spelling or
// link leads there; only regular files are written, and never through
// another user's link. Both files of an entry are checked before either is
// written, so a refused entry leaves nothing of its own behind.
TEST(ExtractTest, NeverThePackageNeverOneFileTwiceOnlyRegularFiles) {
  enum Verdict {
    kWritten,
    kPackage,
    kEarlier,
    kPreNotWritten,
    kNotWritten,
    kToolFile,
    kOthersLink
  };
  struct Want {
    std::string name;
    Verdict verdict;
    std::string clashing;  // the work file a warning names
  };
  struct Case {
    const char* what;
    const char* packageDirAs;  // the work path: the package directory + this
    std::vector<Want> entries;
    // Work files made first: 's' a symbolic and 'h' a hard link to the
    // package, 'b' a hard link to its backup, 'k' a file "kept", 'f' a FIFO,
    // 'd' a directory, 'n' a symbolic link of nobody's to sentinel.hlsl.
    std::vector<std::pair<std::string, char>> made;
  };
  const Want good = {"good.hlsl", kWritten, ""};
  std::vector<Case> cases = {
      {"the package directory as /.",
       "/.",
       {{"shaders.spk", kPackage, "shaders.spk"}, good},
       {}},
      {"two entries with one pre file",
       nullptr,
       {{"water.hlsl", kWritten, ""},
        {"waterXXXXX", kEarlier, "water.pre"},
        good},
       {}},
      {"a name twice",
       nullptr,
       {{"a.hlsl", kWritten, ""}, {"a.hlsl", kEarlier, "a.pre"}},
       {}},
      {"a pre file that is another entry's shader",
       nullptr,
       {{"abcde.pre", kWritten, ""}, {"abcd.pre", kEarlier, "abcd.pre"}},
       {}},
      {"a directory named like an entry",
       nullptr,
       {{"dir.hlsl", kNotWritten, ""}, good},
       {{"dir.hlsl", 'd'}}},
      {"the tool's names beside the package, there or not, in any case",
       "",
       {{"shaders.spk.bak", kToolFile, "shaders.spk.bak"},
        {"Shaders.Spk.Orig", kToolFile, "Shaders.Spk.Orig"},
        good},
       {{"shaders.spk.bak", 'k'}}},
#ifdef _WIN32
      {"names differing in case",
       nullptr,
       {{"water.hlsl", kWritten, ""}, {"Water.hlsl", kEarlier, "Water.pre"}},
       {}},
      {"a pre file under a shader's name",
       nullptr,
       {{"sky.hlsl", kWritten, ""}, {"SKY.PRE", kEarlier, "SKY.PRE"}},
       {}},
#else
      {"a symbolic link to the package",
       nullptr,
       {{"evil.hlsl", kPackage, "evil.hlsl"}, good},
       {{"evil.hlsl", 's'}}},
      {"a hard link to the package",
       nullptr,
       {{"evil.hlsl", kPackage, "evil.pre"}, good},
       {{"evil.pre", 'h'}}},
      {"a file that is the package's backup",
       nullptr,
       {{"keep.hlsl", kToolFile, "keep.pre"}, good},
       {{"keep.pre", 'b'}}},
      // A FIFO would hold an open for writing until someone reads it.
      {"FIFOs named like the files of entries",
       nullptr,
       {{"fifo.hlsl", kNotWritten, ""},
        {"fifo2.hlsl", kPreNotWritten, ""},
        good},
       {{"fifo.hlsl", 'f'}, {"fifo2.pre", 'f'}}},
      // Last: they need root.
      {"another user's links",
       nullptr,
       {{"theirs.hlsl", kOthersLink, "theirs.hlsl"},
        {"theirs2.hlsl", kOthersLink, "theirs2.pre"},
        good},
       {{"theirs.hlsl", 'n'}, {"theirs2.pre", 'n'}}},
#endif
  };
  const std::map<Verdict, std::string> warnings = {
      {kPackage, "Same file as the package"},
      {kEarlier, "Same file as an earlier entry"},
      {kToolFile, "One of the tool's own files beside the package"},
      {kOthersLink, "A link of another user's"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TestEntry> entries;
    for (const Want& want : c.entries) {
      entries.push_back(
          makeEntry(want.name, "from " + std::to_string(entries.size())));
    }
    const std::string package = buildPackage(entries);
    Scene scene(package);
    if (c.packageDirAs != nullptr)
      scene.work = scene.dir.path() + c.packageDirAs;
    // What each work file must hold afterwards; a file not named here must
    // not exist, and a FIFO is never opened by the test either. Windows
    // finds a file under any case of its name.
    auto key = [](std::string name) {
#ifdef _WIN32
      for (char& ch : name) ch = char(std::toupper((unsigned char)ch));
#endif
      return name;
    };
    std::map<std::string, std::string> expected;
    std::set<std::string> fifos;
    const std::string packagePath = scene.dir.file("shaders.spk");
    if (c.packageDirAs != nullptr) expected[key("shaders.spk")] = package;
    const std::string backup = packagePath + ".bak";
    for (const auto& [name, kind] : c.made) {
      const std::string path = scene.work + "/" + name;
      bool made = (kind == 'd' && makeDirectory(path)) ||
                  (kind == 'k' && writeFile(path, "kept"));
      if (kind == 'k') expected[key(name)] = "kept";
#ifndef _WIN32
      if (kind == 'n' && geteuid() != 0) {
        GTEST_SKIP() << "needs root, to give a link to nobody";
      }
      const std::string sentinel = scene.dir.file("sentinel.hlsl");
      if (kind == 'b') {
        writeFile(backup, "kept");
        scene.outside["shaders.spk.bak"] = expected[key(name)] = "kept";
      }
      made = made ||
             (kind == 's' && symlink(packagePath.c_str(), path.c_str()) == 0) ||
             (kind == 'h' && link(packagePath.c_str(), path.c_str()) == 0) ||
             (kind == 'b' && link(backup.c_str(), path.c_str()) == 0) ||
             (kind == 'f' && mkfifo(path.c_str(), 0600) == 0) ||
             (kind == 'n' && symlink(sentinel.c_str(), path.c_str()) == 0 &&
              lchown(path.c_str(), 65534, 65534) == 0);
      if (kind == 'n') expected[key(name)] = "keep";
#endif
      ASSERT_TRUE(made) << name;
      if (kind == 's' || kind == 'h') expected[key(name)] = package;
      if (kind == 'f' || kind == 'd') fifos.insert(name);
    }
    std::string out;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Want& want = c.entries[i];
      const std::string pre =
          want.name.substr(0, want.name.size() - 5) + ".pre";
      out += found(want.name);
      const auto warning = warnings.find(want.verdict);
      if (warning != warnings.end()) {
        out += "Warning: " + warning->second + ", skipped: '" + scene.work +
               "/" + want.clashing + "'\n";
      } else {
        if (want.verdict == kPreNotWritten) {
          out += cannotWrite(scene.work + "/" + pre);
        } else {
          expected[key(pre)] = entryHeaderBytes(entries[i]);
        }
        if (want.verdict == kNotWritten) {
          out += cannotWrite(scene.work + "/" + want.name);
        } else {
          out += written(int(entries[i].content.size()),
                         scene.work + "/" + want.name);
          expected[key(want.name)] = entries[i].content;
        }
      }
    }
    EXPECT_EQ(scene.extract(), out);
    std::string bytes;
    EXPECT_TRUE(readFile(packagePath, &bytes));
    EXPECT_EQ(bytes, package);
    for (const Want& want : c.entries) {
      for (const std::string& name :
           {want.name, want.name.substr(0, want.name.size() - 5) + ".pre"}) {
        if (fifos.count(name) != 0) continue;
        const auto it = expected.find(key(name));
        const bool exists = readFile(scene.work + "/" + name, &bytes);
        EXPECT_EQ(exists, it != expected.end()) << name;
        if (exists && it != expected.end()) {
          EXPECT_EQ(bytes, it->second) << name;
        }
      }
    }
    if (c.packageDirAs == nullptr) scene.expectOutsideUntouched();
  }
}

// What the run cannot change: a package that cannot be opened is reported
// once and nothing is written; a missing work directory is never created,
// and every entry says its files could not be written.
TEST(ExtractTest, EnvironmentFailures) {
  enum Package { kWhole, kMissing, kDirectory, kFileAsFolder, kEarlierUndo };
  struct Case {
    const char* what;
    Package package;
    bool workMissing;
  };
  const Case cases[] = {
      {"no package", kMissing, false},
      {"the package is a directory", kDirectory, false},
      {"no work directory", kWhole, true},
      {"the package file given as its folder", kFileAsFolder, false},
      // An earlier release's rewrite left the package part new, part old.
      {"an earlier release's undo file beside it", kEarlierUndo, false},
  };
  const TestEntry a = makeEntry("a.hlsl", "aaa");
  const TestEntry b = makeEntry("b.hlsl", "bbbb");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scene scene(buildPackage({a, b}));
    const std::string packagePath = scene.dir.file("shaders.spk");
    if (c.workMissing) {
      fs::remove(fs::u8path(scene.work));
      scene.outside.erase("work");
      // A path longer than any line the tool formats in one go.
      for (int i = 0; i < 600; ++i) scene.work += "/.";
    }
    std::string expected;
    const std::string w = scene.work + "/";
    if (c.package == kWhole) {
      // Said once, after the first entry's lines.
      expected = found("a.hlsl") + cannotWrite(w + "a.pre") +
                 cannotWrite(w + "a.hlsl") + "Cause: the work folder '" +
                 scene.work +
                 "' does not exist; create it (mkdir) or check the path you "
                 "gave.\n" +
                 found("b.hlsl") + cannotWrite(w + "b.pre") +
                 cannotWrite(w + "b.hlsl");
    } else if (c.package == kEarlierUndo) {
      writeFile(packagePath + ".undo", "old bytes");
      scene.outside = listTree(scene.dir.path());
      expected = "could not open shaders.spk: '" + packagePath + "'\nCause: '" +
                 packagePath +
                 ".undo' was left by an earlier release of this tool; see the "
                 "README on what it holds, then move it away.\n";
    } else if (c.package == kFileAsFolder) {
      scene.packageDir = packagePath;
      expected = "could not open shaders.spk: '" + packagePath +
                 "/shaders.spk'\nCause: '" + packagePath +
                 "' is a file, not a folder; give the folder that holds "
                 "shaders.spk.\n";
    } else {
      fs::remove(fs::u8path(packagePath));
      if (c.package == kDirectory) {
        ASSERT_TRUE(makeDirectory(packagePath));
      }
      scene.outside = listTree(scene.dir.path());
      expected = "could not open shaders.spk: '" + packagePath + "'\n";
    }
    EXPECT_EQ(scene.extract(), expected);
    EXPECT_TRUE(listTree(scene.work).empty());
    scene.expectOutsideUntouched();
  }
}

#ifndef _WIN32
// A full disk, played by a file size limit in a child process: the pre
// file's write fails part-way and its half goes; the shader and the next
// entry are still written. A failed shader write is the fault suite's.
TEST(ExtractTest, FailedWritesRemoveTheIncompleteFile) {
  // A 504-unit name makes a pre file of 1024 bytes; a zero low byte keeps
  // the working name short enough for the file system.
  const TestEntry longName =
      makeEntry("long.hlsl" + std::string(495, '\0'), "zzzz");
  const TestEntry next = makeEntry("c.hlsl", "cccccccccc");
  Scene scene(buildPackage({longName, next}));
  ChildOptions fullDisk;
  fullDisk.fileSizeLimit = 1000;
  const ChildResult child = runInChild(
      [&] {
        // The work directory as ".", so the expected lines need no path.
        if (chdir(scene.work.c_str()) != 0) std::abort();
        scene.work = ".";
        scene.run();
      },
      fullDisk);
  EXPECT_TRUE(child.endedNormally);
  EXPECT_EQ(child.out, found("long.hlsl") + cannotWrite("./long.pre") +
                           written(4, "./long.hlsl") + found("c.hlsl") +
                           written(10, "./c.hlsl"));
  const Files files = {{"long.hlsl", longName.content},
                       {"c.hlsl", next.content},
                       {"c.pre", entryHeaderBytes(next)}};
  EXPECT_EQ(listTree(scene.work), files);
}

// The package shrinks after extraction measured it: another process cuts it
// while the tool waits to print its first line into a full pipe. By then the
// tool has read only the package's first block, so the first entry, larger
// than that, is read after the cut and is whole; of the second, cut in its
// header or its content, nothing is left.
TEST(ExtractTest, PackageCutWhileBeingRead) {
  const TestEntry first = makeEntry("first.hlsl", std::string(300000, 'f'));
  const TestEntry second = makeEntry("second.hlsl", std::string(200000, 's'));
  const std::string package = buildPackage({first, second});
  const std::size_t secondStart = 8 + entryBytes(first).size();
  struct Case {
    const char* what;
    std::size_t cut;
    bool foundSecond;
  };
  const Case cases[] = {
      {"after the first entry", secondStart, false},
      {"in the second name", secondStart + 16, false},
      {"in the second content", secondStart + 40 + 1000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scene scene(package);
    const std::string packagePath = scene.dir.file("shaders.spk");
    ChildOptions options;
    bool cut = false;
    options.atFirstWrite = [&] {
      cut = truncate(packagePath.c_str(), off_t(c.cut)) == 0;
    };
    const ChildResult child = runInChild([&] { scene.run(); }, options);
    ASSERT_TRUE(cut) << "the tool never waited in its first write";
    ASSERT_TRUE(child.endedNormally);

    std::string expected =
        found("first.hlsl") + written(300000, scene.work + "/first.hlsl");
    if (c.foundSecond) expected += found("second.hlsl");
    EXPECT_EQ(child.out, expected + "Package ends early, stopping: '" +
                             packagePath + "'\n");
    const Files files = {{"first.hlsl", first.content},
                         {"first.pre", entryHeaderBytes(first)}};
    EXPECT_EQ(listTree(scene.work), files);
    scene.outside["shaders.spk"] = package.substr(0, c.cut);
    scene.expectOutsideUntouched();
  }
}
#endif

}  // namespace
