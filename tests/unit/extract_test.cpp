#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/run.h"
#include "package/shader_package.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
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

  std::string extract() {
    ShaderPackage package;
    package.setPaths(dir.path(), work);
    testing::internal::CaptureStdout();
    package.extract();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
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
  Files outside;
};

std::string found(const std::string& name) {
  return "Found hlsl file: '" + name + "'\n";
}
std::string written(int size, const std::string& path) {
  return "written " + std::to_string(size) + " bytes to '" + path + "'\n";
}
std::string cannotWrite(const std::string& path) {
  return "Could not write to '" + path + "'\n";
}
std::string stop(const Scene& scene) {
  return "Package ends early, stopping: '" + scene.dir.file("shaders.spk") +
         "'\n";
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
  Scene scene(buildPackage({water, sky}));
  writeFile(scene.work + "/water.hlsl", std::string(500, 'x'));
  writeFile(scene.work + "/notes.txt", "mine");

  std::string out;
  Files files = {{"notes.txt", "mine"}};
  expectEntry(water, "water.hlsl", "water.pre", scene.work, &out, &files);
  expectEntry(sky, "sky.hlsl", "sky.pre", scene.work, &out, &files);
  EXPECT_EQ(scene.extract(), out);
  EXPECT_EQ(listTree(scene.work), files);
  scene.expectOutsideUntouched();
}

TEST(ExtractTest, NamesComeFromLowBytesWhileThePreFileKeepsThemAll) {
  auto padded = [](std::size_t units) {
    return std::string(units - 5, 'n') + ".hlsl";
  };
  struct Case {
    std::vector<std::uint16_t> units;
    std::string name;
  };
  std::vector<Case> cases = {
      {{0x0177, 0x4161, 0x0074, 'e', 'r', '.', 'h', 'l', 's', 'l'},
       "water.hlsl"},
      {{'w', 'a', 't', 'e', 'r', '.', 'h', 'l', 's', 'l', 0x0100, 'x'},
       "water.hlsl"},
  };
  // 56 units fill 128 header bytes, 57 need more; 504 is the most a pre file
  // the merge takes back can hold. File systems cap a name at 255 bytes, so
  // the longest one ends its working name early.
  for (std::size_t units : {56, 57}) {
    cases.push_back({wide(padded(units)), padded(units)});
  }
  cases.push_back({wide("long.hlsl"), "long.hlsl"});
  cases.back().units.resize(504, 0x0100);
  for (const Case& c : cases) {
    TestEntry entry = makeEntry("", "body");
    entry.name = c.units;
    Scene scene(buildPackage({entry}));
    std::string out;
    Files files;
    std::string stem = c.name.substr(0, c.name.size() - 5);
    expectEntry(entry, c.name, stem + ".pre", scene.work, &out, &files);
    EXPECT_EQ(scene.extract(), out) << c.name.size();
    EXPECT_EQ(listTree(scene.work), files) << c.name.size();
  }
}

TEST(ExtractTest, ContentSizes) {
  TestEntry negative = makeEntry("neg.hlsl", "");
  negative.overrideContentSize = true;
  negative.contentSize = -5;
  TestEntry after = makeEntry("after.hlsl", "next");
  // Crosses several copy blocks and ends inside one.
  std::string large(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = char(i * 7 % 251);
  TestEntry big = makeEntry("large.hlsl", large);
  TestEntry empty = makeEntry("empty.hlsl", "");

  Scene scene(buildPackage({negative, after, big, empty}));
  std::string w = scene.work + "/";
  EXPECT_EQ(scene.extract(),
            found("neg.hlsl") + written(-5, w + "neg.hlsl") +
                found("after.hlsl") + written(4, w + "after.hlsl") +
                found("large.hlsl") +
                written(int(large.size()), w + "large.hlsl") +
                found("empty.hlsl") + written(0, w + "empty.hlsl"));
  Files files = listTree(scene.work);
  EXPECT_EQ(files["neg.hlsl"], "");
  EXPECT_EQ(files["neg.pre"], entryHeaderBytes(negative));
  EXPECT_EQ(files["after.hlsl"], "next");
  EXPECT_TRUE(files["large.hlsl"] == large);
  EXPECT_EQ(files["empty.hlsl"], "");
  EXPECT_EQ(files.size(), 8u);
}

TEST(ExtractTest, DamagedPackagesStopBeforeWritingTheDamagedEntry) {
  TestEntry good = makeEntry("good.hlsl", "fine");
  TestEntry longName = makeEntry("bad.hlsl", "x");
  longName.overrideNameLength = true;
  longName.nameLength = 505;
  TestEntry huge = makeEntry("huge.hlsl", "only this");
  huge.overrideContentSize = true;
  huge.contentSize = INT32_MAX;
  // Two entries of 38 bytes after the 8-byte header; the second starts at 46.
  const std::string full = buildPackage({good, good});

  enum Stop { kNone, kEndsEarly, kTooLong };
  struct Case {
    const char* what;
    std::string package;
    int goodEntries;        // extracted before the damage
    std::string foundLine;  // the damaged entry's name, when it is printed
    Stop stop;
  };
  const Case cases[] = {
      {"empty file", "", 0, "", kEndsEarly},
      {"cut header", le32(1) + "\x02", 0, "", kEndsEarly},
      {"count zero", buildPackage({good}, 0), 0, "", kNone},
      {"count negative", buildPackage({good}, INT32_MIN), 0, "", kNone},
      {"count above entries", buildPackage({good}, 2), 1, "", kEndsEarly},
      {"cut fields", full.substr(0, 46 + 8), 1, "", kEndsEarly},
      {"cut name", full.substr(0, 46 + 12 + 6), 1, "", kEndsEarly},
      {"cut size field", full.substr(0, 46 + 32), 1, "", kEndsEarly},
      {"cut content", full.substr(0, full.size() - 1), 1, "good.hlsl",
       kEndsEarly},
      {"size beyond any file", buildPackage({good, huge}), 1, "huge.hlsl",
       kEndsEarly},
      {"name of 505 units", buildPackage({good, longName, good}), 1, "",
       kTooLong},
  };
  for (const Case& c : cases) {
    Scene scene(c.package);
    std::string out;
    Files files;
    for (int i = 0; i < c.goodEntries; ++i) {
      expectEntry(good, "good.hlsl", "good.pre", scene.work, &out, &files);
    }
    if (!c.foundLine.empty()) out += found(c.foundLine);
    if (c.stop == kEndsEarly) out += stop(scene);
    if (c.stop == kTooLong) {
      out += "Entry name too long, stopping: '" +
             scene.dir.file("shaders.spk") + "'\n";
    }
    EXPECT_EQ(scene.extract(), out) << c.what;
    EXPECT_EQ(listTree(scene.work), files) << c.what;
    scene.expectOutsideUntouched();
  }
}

// Every prefix of a valid package: whole entries are extracted exactly, the
// cut one neither creates nor truncates a file, no filler byte appears, and
// the run still ends with its completion message.
TEST(ExtractTest, PackageCutAtEveryLength) {
  const std::string names[] = {"first.hlsl", "empty.hlsl", "third.hlsl"};
  std::vector<TestEntry> entries = {
      makeEntry(names[0], "0123456789", 5, 6),
      makeEntry(names[1], ""),
      makeEntry(names[2], "abcdefg"),
  };
  entries[2].name[0] = 0x0274;  // still 't' in the low byte
  const std::string package = buildPackage(entries);

  for (std::size_t length = 0; length <= package.size(); ++length) {
    Scene scene(package.substr(0, length));
    // Files of an earlier extraction, to be replaced only by whole entries.
    Files files = {{"third.hlsl", "old"}, {"third.pre", "old"}};
    for (const auto& [name, bytes] : files) {
      writeFile(scene.work + "/" + name, bytes);
    }
    writeFile(scene.dir.file("key"), "");
    scene.outside["key"] = "";
    std::FILE* key = std::fopen(scene.dir.file("key").c_str(), "rb");
    const char* argv[] = {"Quillmere.exe", scene.dir.path().c_str(),
                          scene.work.c_str(), "extract", nullptr};
    testing::internal::CaptureStdout();
    run(4, argv, key);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::fclose(key);

    std::string expected;
    std::size_t end = 8;
    bool cut = length < end;
    for (std::size_t i = 0; i < entries.size() && !cut; ++i) {
      end += entryHeaderBytes(entries[i]).size() + entries[i].content.size();
      cut = length < end;
      if (!cut) {
        expectEntry(entries[i], names[i], names[i].substr(0, 5) + ".pre",
                    scene.work, &expected, &files);
      } else if (length >= end - entries[i].content.size()) {
        expected += found(names[i]);
      }
    }
    if (cut) expected += stop(scene);
    expected += "Comleted extraction\nPress a key to continue\n";
    EXPECT_EQ(out, expected) << "cut at " << length;
    EXPECT_EQ(listTree(scene.work), files) << "cut at " << length;
    scene.expectOutsideUntouched();
  }
}

TEST(ExtractTest, UnsafeNamesAreSkippedAndTheWalkGoesOn) {
  TestEntry noName = makeEntry("", "x");
  noName.overrideNameLength = true;
  noName.nameLength = -7;
  TestEntry zeroMakesShort = makeEntry("ab cdefg.hlsl", "x");
  zeroMakesShort.name[2] = 0x0300;  // the working name ends before it
  std::vector<std::pair<TestEntry, std::string>> cases = {
      {noName, ""}, {zeroMakesShort, "ab"}};
  for (std::string name :
       {"", "a", "abcd", ".", "..", "../sentinel.hlsl", "..\\sentinel.hlsl",
        "sub/x.hlsl", "C:x.hlsl", "tab\tx.hlsl", "a\x1f.hlsl"}) {
    cases.push_back({makeEntry(name, "bad content"), name});
  }
  const TestEntry good = makeEntry("good.hlsl", "fine");
  // A space is the lowest byte a name may hold.
  const TestEntry spaced = makeEntry("a b.hlsl", "ok");
  for (const auto& [entry, name] : cases) {
    Scene scene(buildPackage({entry, good, spaced}));
    makeDirectory(scene.work + "/sub");  // a separator must not reach it
    std::string out =
        found(name) + "Warning: Unsafe name, skipped: '" + name + "'\n";
    Files files = {{"sub", "<dir>"}};
    expectEntry(good, "good.hlsl", "good.pre", scene.work, &out, &files);
    expectEntry(spaced, "a b.hlsl", "a b.pre", scene.work, &out, &files);
    EXPECT_EQ(scene.extract(), out) << name;
    EXPECT_EQ(listTree(scene.work), files) << name;
    scene.expectOutsideUntouched();
  }
}

// Small entries are written several at a time; the work directory and the
// output must still be what a walk front to back gives, entry by entry.
TEST(ExtractTest, EntriesWrittenTogetherKeepThePackagesOrder) {
  auto text = [](std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = char((i + seed) * 31);
    return bytes;
  };
  auto numbered = [](const char* stem, int i) {
    return stem + std::to_string(i) + ".hlsl";
  };
  struct Case {
    const char* what;
    std::vector<std::string> names;
    std::size_t largeAt = SIZE_MAX;  // this entry streams on its own
  };
  std::vector<Case> cases(7);
  cases[0].what = "distinct names over several batches";
  for (int i = 0; i < 700; ++i) cases[0].names.push_back(numbered("s", i));
  cases[1].what = "names written again, near and far";
  for (int i = 0; i < 400; ++i) {
    cases[1].names.push_back(numbered("r", i % (i < 200 ? 3 : 97)));
  }
  // The pre file of "abcde.pre" is the shader file "abcd.pre", and back.
  cases[2].what = "one entry's pre file is another's shader file";
  for (int i = 0; i < 60; ++i) {
    cases[2].names.push_back(i % 3 == 0 ? "abcde.pre" : "abcd.pre");
    cases[2].names.push_back(numbered("f", i));
  }
  cases[3].what = "names compared only on their own, between others";
  for (int i = 0; i < 60; ++i) {
    const char* odd[] = {"wave+foam.hlsl", "a~b.hlsl", "trail.hlsl..hlsl"};
    cases[3].names.push_back(i % 4 == 0 ? odd[i % 3] : numbered("g", i % 7));
  }
  cases[4].what = "unsafe names and a large entry between small ones";
  for (int i = 0; i < 60; ++i) {
    cases[4].names.push_back(i % 9 == 4 ? "../x" : numbered("h", i % 11));
  }
  cases[4].largeAt = 30;
  // Written side by side, the short second one would finish first.
  cases[5].what = "each name twice in a row, long then short";
  for (int i = 0; i < 400; ++i) cases[5].names.push_back(numbered("t", i / 2));
  cases[6].what = "more skipped names than a batch holds";
  for (int i = 0; i < 2500; ++i) {
    cases[6].names.push_back(i % 700 == 0 ? numbered("k", i) : "../x");
  }

  for (const Case& c : cases) {
    std::vector<TestEntry> entries;
    for (std::size_t i = 0; i < c.names.size(); ++i) {
      std::size_t size = i * 37 % 9000;
      if (i == c.largeAt) size = 300 * 1024;
      if (c.names[i][0] == 't') size = i % 2 ? 1 : 60000;
      entries.push_back(makeEntry(c.names[i], text(size, unsigned(i)),
                                  std::uint32_t(i), 0x5EED));
    }
    Scene scene(buildPackage(entries));
    std::string out;
    Files files;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string& name = c.names[i];
      if (name == "../x") {
        out += found(name) + "Warning: Unsafe name, skipped: '../x'\n";
        continue;
      }
      expectEntry(entries[i], name, name.substr(0, name.size() - 5) + ".pre",
                  scene.work, &out, &files);
    }
    EXPECT_EQ(scene.extract(), out) << c.what;
    EXPECT_EQ(listTree(scene.work), files) << c.what;
    scene.expectOutsideUntouched();
  }
}

// Names that differ only in case are one file on Windows: the later entry
// must win there too, so the two are never written at the same time.
TEST(ExtractTest, NamesDifferingInCaseKeepThePackagesOrder) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 40; ++i) {
    entries.push_back(makeEntry(i % 2 ? "Water.hlsl" : "WATER.HLSL",
                                "version " + std::to_string(i)));
  }
  Scene scene(buildPackage(entries));
  scene.extract();
  std::string last;
  EXPECT_TRUE(readFile(scene.work + "/Water.hlsl", &last));
  EXPECT_EQ(last, "version 39");
  EXPECT_TRUE(readFile(scene.work + "/Water.pre", &last));
  EXPECT_EQ(last, entryHeaderBytes(entries.back()));
}

TEST(ExtractTest, MissingWorkDirectoryIsNeverCreated) {
  TestEntry a = makeEntry("a.hlsl", "aaa");
  TestEntry b = makeEntry("b.hlsl", "bbbb");
  Scene scene(buildPackage({a, b}));
  fs::remove(fs::u8path(scene.work));
  scene.outside.erase("work");
  const std::string w = scene.work + "/";
  EXPECT_EQ(scene.extract(), found("a.hlsl") + cannotWrite(w + "a.pre") +
                                 cannotWrite(w + "a.hlsl") + found("b.hlsl") +
                                 cannotWrite(w + "b.pre") +
                                 cannotWrite(w + "b.hlsl"));
  scene.expectOutsideUntouched();
}

TEST(ExtractTest, PackageThatCannotBeOpened) {
  Scene scene("");
  fs::remove(fs::u8path(scene.dir.file("shaders.spk")));
  const std::string message =
      "could not open shaders.spk: '" + scene.dir.file("shaders.spk") + "'\n";
  EXPECT_EQ(scene.extract(), message);
  makeDirectory(scene.dir.file("shaders.spk"));
  EXPECT_EQ(scene.extract(), message);
  EXPECT_TRUE(listTree(scene.work).empty());
}

#ifndef _WIN32
// A full disk, played by a file size limit in a child process: the write
// fails part-way, the half file goes, and the next entry is still extracted.
TEST(ExtractTest, FailedWritesRemoveTheIncompleteFile) {
  // A 504-unit name makes a pre file of 1024 bytes; a zero low byte keeps
  // the working name short enough for the file system.
  const std::string longName = "long.hlsl" + std::string(495, '\0');
  struct Case {
    rlim_t limit;
    std::vector<std::pair<std::string, std::size_t>> entries;  // name, size
    std::string failed;  // the one work file whose write fails
  };
  const Case cases[] = {
      {4096,
       {{"a.hlsl", 100}, {"big.hlsl", 10000}, {"c.hlsl", 10}},
       "big.hlsl"},
      {1000, {{longName, 4}, {"c.hlsl", 10}}, "long.pre"},
      // Fails inside the first of several blocks, in one of its writes;
      // the rest of the entry is passed over and the next one still lands.
      {600 * 1024,
       {{"a.hlsl", 100}, {"huge.hlsl", 2560 * 1024 + 5}, {"c.hlsl", 10}},
       "huge.hlsl"},
  };
  for (const Case& c : cases) {
    std::vector<TestEntry> entries;
    std::string expected;
    Files files;
    for (const auto& [wideName, size] : c.entries) {
      entries.push_back(makeEntry(wideName, std::string(size, 'z')));
      const std::string name = wideName.c_str();
      const std::string pre = name.substr(0, name.size() - 5) + ".pre";
      files[pre] = entryHeaderBytes(entries.back());
      files[name] = entries.back().content;
      expected += found(name);
      if (pre == c.failed) expected += cannotWrite("./" + pre);
      expected += name == c.failed ? cannotWrite("./" + name)
                                   : written(int(size), "./" + name);
    }
    files.erase(c.failed);

    Scene scene(buildPackage(entries));
    const std::string log = scene.dir.file("log");
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      if (std::freopen(log.c_str(), "wb", stdout) == nullptr) _exit(2);
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit = {c.limit, c.limit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
      ShaderPackage package;
      // The work directory as ".", so the expected lines need no path.
      package.setPaths(scene.dir.path(), ".");
      if (chdir(scene.work.c_str()) != 0) _exit(4);
      package.extract();
      std::fflush(stdout);
      _exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string out;
    readFile(log, &out);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(listTree(scene.work), files);
  }
}
// The package shrinks after extraction measured it: another process cuts it
// while the tool is held up opening the first shader file, a FIFO that the
// same process then drains. The first entry was read before the cut and is
// whole; of the second, cut in its header or its content, nothing is left.
TEST(ExtractTest, PackageCutWhileBeingRead) {
  // Larger than any stdio buffer, so the cut lies beyond what was read.
  const TestEntry first = makeEntry("first.hlsl", std::string(300000, 'f'));
  // The second entry is read whole before its files are written, or, when
  // large, streamed into them and removed again when the package ends.
  for (std::size_t secondSize : {200000, 400000}) {
    SCOPED_TRACE(secondSize);
    const TestEntry second =
        makeEntry("second.hlsl", std::string(secondSize, 's'));
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
      const std::string fifo = scene.work + "/first.hlsl";
      ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
      const std::string packagePath = scene.dir.file("shaders.spk");
      std::fflush(stdout);
      pid_t child = fork();
      if (child == 0) {
        alarm(60);  // never outlive a tool that does not open the FIFO
        const bool cut = truncate(packagePath.c_str(), off_t(c.cut)) == 0;
        // Opening the reading end lets the tool's open return.
        const int fd = open(fifo.c_str(), O_RDONLY);
        char chunk[4096];
        while (fd >= 0 && read(fd, chunk, sizeof chunk) > 0) {
        }
        _exit(cut && fd >= 0 ? 0 : 1);
      }
      const std::string out = scene.extract();
      int status = -1;
      waitpid(child, &status, 0);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

      std::string expected =
          found("first.hlsl") + written(300000, scene.work + "/first.hlsl");
      if (c.foundSecond) expected += found("second.hlsl");
      EXPECT_EQ(out, expected + stop(scene));
      const Files files = {{"first.hlsl", "<other>"},
                           {"first.pre", entryHeaderBytes(first)}};
      EXPECT_EQ(listTree(scene.work), files);
      scene.outside["shaders.spk"] = package.substr(0, c.cut);
      scene.expectOutsideUntouched();
    }
  }
}
#endif

}  // namespace
