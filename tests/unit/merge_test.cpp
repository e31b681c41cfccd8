#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "package/shader_package.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "support/child.h"
#endif

namespace {

namespace fs = std::filesystem;

const char kOldPackage[] = "old package bytes, never to be lost";

// A shape a package takes in a modder's game folder, and how it is merged.
struct Shape {
  const char* what;
  std::function<void()> setUp;
  int merges;                   // how many times the merge runs
  bool emptyWork;               // the work directory holds no entry
  std::function<void()> check;  // what else must hold afterwards
  bool asNobody = false;        // merged by nobody; needs root
};

// A package directory and a work directory side by side, with a package
// already in place so every test can tell whether it survived.
class MergeTest : public testing::Test {
 protected:
  // Called again by a table's rows: each starts from an empty root.
  void SetUp() override {
    for (const auto& file : fs::directory_iterator(root.path())) {
      fs::remove_all(file.path());
    }
    pkg = root.file("pkg");
    work = root.file("work");
    ASSERT_TRUE(makeDirectory(pkg));
    ASSERT_TRUE(makeDirectory(work));
    ASSERT_TRUE(writeFile(packagePath(), kOldPackage));
  }

  // Whatever happened, nothing but the package and its backup is left
  // beside it: no temporary file.
  void TearDown() override {
    if (pkg == work) return;
    std::error_code ec;
    for (fs::directory_iterator it(pkg, ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string name = it->path().filename().string();
      EXPECT_TRUE(name == "shaders.spk" || name == "shaders.spk.bak" ||
                  name == "shaders.spk.orig")
          << name;
    }
  }

  std::string packagePath() const { return pkg + "/shaders.spk"; }
  std::string backupPath() const { return pkg + "/shaders.spk.bak"; }
  std::string inWork(const std::string& name) const {
    return work + "/" + name;
  }

  // Writes an entry's shader file and pre file. The pre file claims a stale
  // size, as after an edit; the returned entry is what the merge must write.
  TestEntry addEntry(const std::string& name, const std::string& content,
                     std::uint32_t word0 = 0x11223344,
                     std::uint32_t word1 = 0xA5A5A5A5) {
    TestEntry entry = makeEntry(name, content, word0, word1);
    TestEntry stale = entry;
    stale.overrideContentSize = true;
    stale.contentSize = 7777;
    EXPECT_TRUE(writeFile(inWork(name), content));
    const std::string stem = name.substr(0, name.size() - 5);
    EXPECT_TRUE(writeFile(inWork(stem + ".pre"), entryHeaderBytes(stale)));
    return entry;
  }

  // Root may write any file, so a row that needs a user who may not is
  // merged by nobody when the test runs as root. Nobody may read the work
  // directory and create files beside the package, whatever the umask made
  // of them; what nobody may do with the package itself is the row's to set.
  std::string runMerge([[maybe_unused]] bool asNobody = false) {
    const auto merge = [this] {
      ShaderPackage package;
      package.setPaths(pkg, work);
      package.merge();
    };
#ifndef _WIN32
    if (asNobody && geteuid() == 0) {
      const fs::perms readable =
          fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
          fs::perms::others_read | fs::perms::others_exec;
      fs::permissions(root.path(), readable);
      fs::permissions(work, readable);
      for (const auto& file : fs::directory_iterator(work)) {
        fs::permissions(file.path(),
                        fs::perms::owner_read | fs::perms::owner_write |
                            fs::perms::group_read | fs::perms::others_read);
      }
      // Sticky, as a shared folder should be: no warning about it.
      fs::permissions(pkg, fs::perms::all | fs::perms::sticky_bit);
      ChildOptions nobody;
      nobody.user = 65534;
      const ChildResult child = runInChild(merge, nobody);
      EXPECT_TRUE(child.endedNormally);
      return child.out;
    }
#endif
    return captureStdout(merge);
  }

  // After every merge the package is what it was to its users (the same
  // file, link, owner and mode), with the new bytes; the backup is always a
  // plain file holding the last package with entries.
  void keepsShape(const Shape& c) {
    SCOPED_TRACE(c.what);
#ifndef _WIN32
    if (c.asNobody && geteuid() != 0) return;  // the test says it skipped
#endif
    SetUp();
    c.setUp();
    std::vector<TestEntry> entries;
    if (!c.emptyWork) {
      entries = {addEntry("a.hlsl", "a"), addEntry("b.hlsl", "b")};
    }
    std::string out;
    for (int i = 0; i < c.merges; ++i) out = runMerge(c.asNobody);
    std::string expected =
        "Found " + std::to_string(entries.size()) + " files\n";
    for (const TestEntry& entry : entries) {
      expected += merged(std::string(entry.name.begin(), entry.name.end()));
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(packageBytes(), buildPackage(entries));
    // The first package replaced stays, however often the merge ran.
    EXPECT_EQ(bytesOf(pkg + "/shaders.spk.orig"), kOldPackage);
    // The last package with entries is kept however often the merge ran.
    const std::string last =
        c.merges > 1 && !c.emptyWork ? buildPackage(entries) : kOldPackage;
    EXPECT_EQ(bytesOf(backupPath()), last);
    EXPECT_FALSE(fs::is_symlink(backupPath()));
    c.check();
  }

  std::string bytesOf(const std::string& path) const {
    std::string bytes;
    EXPECT_TRUE(readFile(path, &bytes)) << path;
    return bytes;
  }
  std::string packageBytes() const { return bytesOf(packagePath()); }

  std::string merged(const std::string& name) const {
    return "Merged: '" + inWork(name) + "'\n";
  }

  TempDir root;
  std::string pkg;
  std::string work;
};

// Neither a sub-directory nor a FIFO is a shader file; a FIFO must not hold
// the merge either. Nor is another user's link followed, to a shader or a
// pre file: it could lead to a file only this user may read.
TEST_F(MergeTest, WhatIsNoRegularFileCannotBeOpened) {
  std::vector<TestEntry> entries = {addEntry("a.hlsl", "a")};
  std::vector<std::string> others = {"backup"};
  ASSERT_TRUE(makeDirectory(inWork("backup")));
  std::string links;  // the lines of the links, after the others'
#ifndef _WIN32
  entries.push_back(addEntry("b.hlsl", "b"));
  others.push_back("fifo.hlsl");
  ASSERT_EQ(mkfifo(inWork("fifo.hlsl").c_str(), 0600), 0);
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    const TestEntry secret = makeEntry("theirs2.hlsl", "x");
    ASSERT_TRUE(writeFile(inWork("theirs2.hlsl"), "x"));
    ASSERT_TRUE(writeFile(root.file("secret.pre"), entryHeaderBytes(secret)));
    for (const char* name : {"theirs.hlsl", "theirs2.pre"}) {
      ASSERT_TRUE(
          symlink(root.file("secret.pre").c_str(), inWork(name).c_str()) == 0 &&
          lchown(inWork(name).c_str(), 65534, 65534) == 0);
    }
    const std::string link = "Warning: A link of another user's, skipped: '";
    links = link + inWork("theirs.hlsl") + "'\nWarning: Could not open '" +
            inWork("theirs.hlsl") + "'\nWarning: HLSL too large: '" +
            inWork("theirs.hlsl") + "'\n" + link + inWork("theirs2.pre") +
            "'\nWarning: Could not open: '" + inWork("theirs2.pre") + "'\n";
  }
#endif
  std::string expected =
      "Found " + std::to_string(entries.size() * 2 + (links.empty() ? 0 : 2)) +
      " files\n";
  for (const TestEntry& entry : entries) {
    expected += merged(std::string(entry.name.begin(), entry.name.end()));
  }
  for (const std::string& name : others) {
    expected += "Warning: Could not open '" + inWork(name) +
                "'\nWarning: HLSL too large: '" + inWork(name) + "'\n";
  }
  EXPECT_EQ(runMerge(), expected + links);
  EXPECT_EQ(packageBytes(), buildPackage(entries));
#ifndef _WIN32
  if (!asRoot) GTEST_SKIP() << "needs root, to give a link to nobody";
#endif
}

// A listed name extraction would refuse is refused before any file of it is
// opened. Each has a shader file and a pre file that names it, so only the
// name rule keeps it out: for the short ones the stem rule reaches out of
// the work directory for that pre file.
TEST_F(MergeTest, UnsafeNamesAreRefusedLikeExtractionRefusesThem) {
  TestEntry a = addEntry("a.hlsl", "a");
  struct Case {
    std::string name;
    std::string pre;    // the pre file's path below the test's root
    std::string shown;  // the name as the warning prints it
  };
  std::vector<Case> cases = {
      {"abcd", "work.pre", "abcd"},
      {"b", "w.pre", "b"},
      {"ab.hl", "work/.pre", "ab.hl"},
  };
#ifndef _WIN32
  // Plain names here, but another file or none on Windows.
  cases.insert(cases.end(), {{"..\\up.hlsl", "work/..\\up.pre", "..\\up.hlsl"},
                             {"a\nb.hlsl", "work/a\nb.pre", "a\\x0ab.hlsl"}});
#endif
  for (const Case& c : cases) {
    const TestEntry entry = makeEntry(c.name, "x");
    ASSERT_TRUE(writeFile(inWork(c.name), entry.content));
    ASSERT_TRUE(writeFile(root.file(c.pre), entryHeaderBytes(entry)));
  }
  std::vector<TestEntry> packed = {a};
  if (cases.size() % 2 == 0) packed.push_back(addEntry("z.hlsl", "z"));
  const std::string out = runMerge();
  for (const Case& c : cases) {
    EXPECT_NE(out.find("Warning: Unsafe name, skipped: '" + work + "/" +
                       c.shown + "'\n"),
              std::string::npos)
        << c.name;
  }
  EXPECT_EQ(out.find("Could not open"), std::string::npos) << out;
  EXPECT_EQ(packageBytes(), buildPackage(packed));
}

// A listed name is packed only as the shader of its own pre file: one that
// ends in .hlsl in any case, or that its pre file names. A backup beside a
// shader leads to the same pre file and is left out, so it cannot become a
// second entry of the shader's name. Each merge replaces the package the
// one before made, or `old`, and names what it leaves out of it.
TEST_F(MergeTest, OnlyTheShaderOfAPreFileIsPacked) {
  struct Case {
    const char* what;
    std::vector<std::string> listed;  // in the order the listing gives them
    std::string stray;      // a copy beside the shader it names, or ""
    std::string lost = "";  // the warning's count and first name
    std::string old = "";   // the package replaced, when not the last one
  };
  const TestEntry big = makeEntry("big.hlsl", std::string(100000, 'b'));
  // Both are z.hlsl by the low bytes, not by their whole names.
  TestEntry highByte = makeEntry("z.hlsl", "");
  highByte.name[0] = 0x017A;
  const std::string update =
      buildPackage({big, makeEntry("b.hlsl", "old"),
                    makeEntry(std::string("z.hlsl\0\1", 8), ""), highByte});
  const std::string two =
      buildPackage({makeEntry("x.hlsl", "x"), makeEntry("y.hlsl", "y")});
  const Case cases[] = {
      {"a backup beside its shader",
       {"water.hlsl", "water.orig"},
       "water.orig"},
      {"a copy beside its shader",
       {"fog.copy", "fog.hlsl"},
       "fog.copy",
       "1 of its 1 entries, the first 'water.hlsl'"},
      {"names not ending in .hlsl",
       {"blur.fx", "common.hlsli", "Sky.HLSL", "z.hlsl"},
       "",
       "1 of its 1 entries, the first 'fog.hlsl'"},
      // Past a content larger than a block; and names compared whole.
      {"a game update's entries",
       {"b.hlsl", "z.hlsl"},
       "",
       "3 of its 4 entries, the first 'big.hlsl'",
       update},
      {"a package cut in its last content",
       {"p.hlsl", "q.hlsl"},
       "",
       "",
       two.substr(0, two.size() - 1)},
      {"a package that promises more entries",
       {"p.hlsl", "q.hlsl"},
       "",
       "",
       buildPackage({makeEntry("x.hlsl", "x")}, 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(work);
    ASSERT_TRUE(makeDirectory(work));
    if (!c.old.empty()) {
      ASSERT_TRUE(writeFile(packagePath(), c.old));
    }
    std::vector<TestEntry> expected;
    std::string output =
        "Found " + std::to_string(c.listed.size()) + " files\n";
    for (const std::string& name : c.listed) {
      if (name == c.stray) {
        ASSERT_TRUE(writeFile(inWork(name), "an older, longer copy of it"));
        output += "Warning: Not the shader of its pre file, skipped: '" +
                  inWork(name) + "'\n";
        continue;
      }
      expected.push_back(addEntry(name, "source of " + name));
      output += merged(name);
    }
    if (!c.lost.empty()) {
      output += "Warning: The package loses " + c.lost +
                "; see \"A game update\" in the README\n";
    }
    EXPECT_EQ(runMerge(), output);
    EXPECT_EQ(packageBytes(), buildPackage(expected));
  }
}

// The package directory is known by its identity, however the work path
// spells it.
TEST_F(MergeTest, WorkDirectoryMayBeThePackageDirectory) {
  std::vector<std::string> spellings = {pkg, pkg + "/."};
#ifndef _WIN32
  spellings.push_back(root.file("link"));
#endif
  for (const std::string& spelling : spellings) {
    SCOPED_TRACE(spelling);
    SetUp();
#ifndef _WIN32
    fs::create_directory_symlink(pkg, root.file("link"));
#endif
    work = spelling;
    TestEntry a = addEntry("a.hlsl", "a");
    TestEntry b = addEntry("b.hlsl", "b");
    ASSERT_TRUE(writeFile(inWork("zz.hlsl"), "no pre file"));
    // What a killed merge left is not counted, and is gone afterwards; a
    // second name of another file is not the tool's to remove.
    ASSERT_TRUE(writeFile(packagePath() + ".new~0123abcd", "killed merge's"));
    ASSERT_TRUE(writeFile(root.file("theirs"), "the user's"));
    fs::create_hard_link(root.file("theirs"), packagePath() + ".bak~0123abcd");
    // shaders.spk is listed like any other name; its stem has no pre file.
    // The backup the first merge made, and the files of a replacement, are
    // not: the second merge lists what the first one did.
    for (int merge = 0; merge < 2; ++merge) {
      EXPECT_EQ(runMerge(),
                "Found 4 files\n" + merged("a.hlsl") + merged("b.hlsl") +
                    "Warning: Could not open: '" + inWork("shader.pre") +
                    "'\nWarning: Could not open: '" + inWork("zz.pre") + "'\n");
      EXPECT_EQ(packageBytes(), buildPackage({a, b}));
      EXPECT_FALSE(fs::exists(packagePath() + ".new~0123abcd"));
      EXPECT_TRUE(fs::exists(packagePath() + ".bak~0123abcd"));
    }
  }
  work = pkg;  // for TearDown
}

// A package the merge must not or cannot replace is refused in one line
// once the listing is done, and nothing in or beside it changes: no new
// package, no backup, nothing of the tool's left behind.
TEST_F(MergeTest, PackageThatCannotBeReplacedIsLeftAlone) {
  struct Case {
    const char* what;
    std::function<void()> setUp;
    std::string cause;  // the line after the failure
    bool asAnotherUser = false;
    std::function<void()> cleanUp = [] {};
  };
  const std::string untrusted =
      "' was not made by this tool for this "
      "package; move it away and merge again.\n";
  const std::string earlier =
      "' was left by an earlier release of this tool; see the README on what "
      "it holds, then move it away.\n";
  const fs::perms readOnly =
      fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  const std::string undoPath = packagePath() + ".undo";
  const std::string origPath = pkg + "/shaders.spk.orig";
  std::unique_ptr<platform::Replacement> running;
  const std::string busy =
      "Cause: another merge of this package is running; wait for it to end.\n";
#ifndef _WIN32
  const std::string game = root.file("game.spk");
  const std::string otherLink = root.file("pkg2") + "/shaders.spk";
  const std::string lockPath = packagePath() + ".lock";
  int lockFd = -1;
#endif
  const Case cases[] = {
      {"the package directory is missing", [&] { fs::remove_all(pkg); },
       "Cause: there is no folder '" + pkg + "'; check the path you gave.\n"},
      // What an earlier release left may hold the only whole package.
      {"an earlier release's undo file",
       [&] { ASSERT_TRUE(writeFile(undoPath, kOldPackage)); },
       "Cause: '" + undoPath + earlier},
      {"an earlier release's new package",
       [&] { ASSERT_TRUE(writeFile(packagePath() + ".tmp", "new")); },
       "Cause: '" + packagePath() + ".tmp" + earlier},
      {"an earlier release's backup in waiting",
       [&] { ASSERT_TRUE(writeFile(packagePath() + ".bak.tmp", "old")); },
       "Cause: '" + packagePath() + ".bak.tmp" + earlier},
      {"a backup that is a directory",
       [&] { ASSERT_TRUE(makeDirectory(backupPath())); },
       "Cause: '" + backupPath() + untrusted},
      {"shaders.spk is a directory",
       [&] {
         fs::remove(packagePath());
         ASSERT_TRUE(makeDirectory(packagePath()));
       },
       "Cause: shaders.spk is not a regular file (a folder or a device); give "
       "the folder that holds the package.\n"},
      // The package file given for its folder.
      {"a package path that names a file", [&] { pkg = packagePath(); },
       "Cause: '" + packagePath() +
           "' is a file, not a folder; give the folder that holds "
           "shaders.spk.\n"},
      // Set whatever the umask, so the package is never writable by chance.
      {"a package its user may not write",
       [&] { fs::permissions(packagePath(), readOnly); },
       "Cause: the package is read-only; clear its read-only flag or fix its "
       "permissions.\n",
       true,
#ifdef _WIN32
       // The read-only attribute, taken off again so the file can go.
       [&] {
         fs::permissions(packagePath(), fs::perms::owner_write,
                         fs::perm_options::add);
       }},
#else
       [] {}},
      {"a symbolic link that leads nowhere",
       [&] {
         fs::remove(packagePath());
         fs::create_symlink(root.file("gone.spk"), packagePath());
       },
       "Cause: shaders.spk is a link that leads to no file; fix the link or "
       "give the folder that holds the package.\n"},
      // The backup would be the package: the one the user had is lost.
      {"a symbolic link to the tool's own backup",
       [&] {
         fs::rename(packagePath(), backupPath());
         fs::create_symlink("shaders.spk.bak", packagePath());
       },
       "Cause: the package is '" + backupPath() +
           "', one of the tool's own files; put a copy of it in its place.\n"},
      {"a second name of the tool's own backup",
       [&] {
         fs::rename(packagePath(), backupPath());
         fs::create_hard_link(backupPath(), packagePath());
       },
       "Cause: the package is '" + backupPath() +
           "', one of the tool's own files; put a copy of it in its place.\n"},
      {"a loop of links",
       [&] {
         fs::remove(packagePath());
         fs::create_symlink("shaders.spk", packagePath());
       },
       "Cause: shaders.spk is a link that leads to no file; fix the link or "
       "give the folder that holds the package.\n"},
      {"an earlier release's lock that is a link",
       [&] { fs::create_symlink(packagePath(), lockPath); },
       "Cause: '" + lockPath + earlier},
      // Written over, it would change a file of someone else's.
      {"an original that is a second name of another file",
       [&] {
         ASSERT_TRUE(writeFile(root.file("theirs"), "the user's"));
         fs::create_hard_link(root.file("theirs"), origPath);
       },
       "Cause: '" + origPath + untrusted},
      {"a backup that is a link",
       [&] { fs::create_symlink(root.file("elsewhere"), backupPath()); },
       "Cause: '" + backupPath() + untrusted},
      // Two folders lead to one file: the merge through the other runs.
      {"another folder's link to the same file is being merged",
       [&] {
         fs::rename(packagePath(), game);
         fs::create_symlink(game, packagePath());
         ASSERT_TRUE(makeDirectory(root.file("pkg2")));
         fs::create_symlink(game, otherLink);
         running = std::make_unique<platform::Replacement>(otherLink);
         ASSERT_TRUE(running->lock());
       },
       busy, false, [&] { running.reset(); }},
      // Another process's lock on the file itself, by any means it took it.
      {"the package locked by another program",
       [&] {
         lockFd = open(packagePath().c_str(), O_RDONLY);
         ASSERT_EQ(flock(lockFd, LOCK_EX), 0);
       },
       busy, false, [&] { close(lockFd); }},
#endif
      {"another merge is running",
       [&] {
         running = std::make_unique<platform::Replacement>(packagePath());
         ASSERT_TRUE(running->lock());
       },
       busy, false, [&] { running.reset(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    addEntry("a.hlsl", "a");
    addEntry("b.hlsl", "b");
    c.setUp();
    const FileTree before = listTree(root.path());
    EXPECT_EQ(runMerge(c.asAnotherUser), "Found 2 files\nCould not open '" +
                                             packagePath() + "'\n" + c.cause);
    EXPECT_EQ(listTree(root.path()), before);
    c.cleanUp();
  }
}

// Shapes a package takes in a modder's game folder.
TEST_F(MergeTest, PackageShapesAreKept) {
  const std::string game = root.file("game.spk");
  // By rename the old file, its time kept, becomes the backup; in place a
  // copy made now does. Whole seconds: Windows keeps 100 ns steps.
  const fs::file_time_type stamp = std::chrono::floor<std::chrono::seconds>(
      fs::file_time_type::clock::now() - std::chrono::hours(48));
  const auto age = [&] { fs::last_write_time(packagePath(), stamp); };
  const auto byRename = [&] {
    EXPECT_EQ(fs::last_write_time(backupPath()), stamp);
  };
  const Shape cases[] = {
      {"a typo merged three times over an empty work directory", [] {}, 3, true,
       [] {}},
      {"merged twice: the first merge's package is the backup", [] {}, 2, false,
       [] {}},
      {"a plain package", age, 1, false, byRename},
      // Rewritten in place: its copies are no more open than it is.
      {"a second hard link",
       [&] {
         fs::create_hard_link(packagePath(), game);
#ifndef _WIN32
         fs::permissions(packagePath(),
                         fs::perms::owner_read | fs::perms::owner_write);
#endif
       },
       1, false,
       [&] {
         EXPECT_TRUE(fs::equivalent(packagePath(), game));
         EXPECT_EQ(bytesOf(game), packageBytes());
         EXPECT_EQ(fs::hard_link_count(backupPath()), 1u);
#ifndef _WIN32
         for (const std::string& copy :
              {backupPath(), pkg + "/shaders.spk.orig"}) {
           EXPECT_EQ(fs::status(copy).permissions(),
                     fs::perms::owner_read | fs::perms::owner_write)
               << copy;
         }
#endif
       }},
#ifndef _WIN32
      {"a symbolic link to the game's package",
       [&] {
         fs::rename(packagePath(), game);
         fs::create_symlink(game, packagePath());
       },
       1, false,
       [&] {
         EXPECT_TRUE(fs::is_symlink(packagePath()));
         EXPECT_FALSE(fs::is_symlink(backupPath()));
       }},
      // A killed merge's backup in waiting, a second name of the package, is
      // judged first (wine keeps such a name while the package is open).
      {"a backup in waiting a killed merge left",
       [&] {
         fs::create_hard_link(packagePath(), packagePath() + ".bak~0123abcd");
         age();
       },
       1, false, byRename},
      {"owner, group and mode",
       [&] {
         ASSERT_EQ(chmod(packagePath().c_str(), 0640), 0);
         if (geteuid() == 0) {
           ASSERT_EQ(chown(packagePath().c_str(), 65534, 65534), 0);
         }
       },
       1, false,
       [&] {
         struct stat info;
         ASSERT_EQ(stat(packagePath().c_str(), &info), 0);
         EXPECT_EQ(info.st_mode & 07777, 0640u);
         if (geteuid() == 0) {
           EXPECT_EQ(info.st_uid, 65534u);
           EXPECT_EQ(info.st_gid, 65534u);
         }
       }},
      // Merged by nobody, who cannot give a new file root's name, nor a copy
      // root's group: that group's access goes, none going to nobody's own.
      {"another user's package this user may write",
       [&] { fs::permissions(packagePath(), fs::perms::all); }, 1, false,
       [&] {
         struct stat info;
         ASSERT_EQ(stat(packagePath().c_str(), &info), 0);
         EXPECT_EQ(info.st_uid, 0u);
         EXPECT_EQ(info.st_mode & 07777, 0777u);
         ASSERT_EQ(stat(backupPath().c_str(), &info), 0);
         EXPECT_EQ(info.st_mode & 07777, 0707u);
       },
       true},
      // The game's folder refuses nobody new files; its package does not:
      // written in place, the backup beside the link.
      {"a link into a folder that refuses new files",
       [&] {
         fs::rename(packagePath(), game);
         fs::permissions(game, fs::perms::all);
         fs::create_symlink(game, packagePath());
       },
       1, false,
       [&] {
         EXPECT_EQ(bytesOf(game), packageBytes());
         EXPECT_TRUE(fs::is_symlink(packagePath()));
       },
       true},
#endif
  };
  for (const Shape& c : cases) keepsShape(c);
#ifndef _WIN32
  if (geteuid() != 0) GTEST_SKIP() << "the rows merged by nobody need root";
#endif
}

#ifndef _WIN32
// Only a link of the user's own, or root's, is followed, and a folder
// others may write is pointed out.
TEST_F(MergeTest, FolderOthersMayWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give a link to nobody";
  fs::permissions(pkg, fs::perms::all);
  addEntry("a.hlsl", "a");
  addEntry("b.hlsl", "b");
  const std::string game = root.file("game.spk");
  fs::rename(packagePath(), game);
  fs::create_symlink(game, packagePath());
  ASSERT_EQ(lchown(packagePath().c_str(), 65534, 65534), 0);
  EXPECT_EQ(runMerge(),
            "Found 2 files\nCould not open '" + packagePath() +
                "'\nCause: a link of another user's is not followed; "
                "replace it with the file it leads to.\n");
  EXPECT_EQ(bytesOf(game), kOldPackage);
  ASSERT_EQ(lchown(packagePath().c_str(), 0, 0), 0);
  // Given through a link to it, the folder is still the one others write.
  fs::create_directory_symlink(pkg, root.file("link"));
  pkg = root.file("link");
  EXPECT_EQ(runMerge(), "Found 2 files\nWarning: others may write to '" + pkg +
                            "'; they could swap the package while the tool "
                            "runs\n" +
                            merged("a.hlsl") + merged("b.hlsl"));
}

// Another user's files under the tool's names: working files are neither
// used nor removed; a planted backup or original is refused.
TEST_F(MergeTest, AnotherUsersLeftoversAreLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give a file to nobody";
  for (const std::string& name :
       {packagePath() + ".new~0123abcd", packagePath() + ".bak~0123abcd",
        packagePath() + ".guard~0123abcd", backupPath(),
        pkg + "/shaders.spk.orig"}) {
    SCOPED_TRACE(name);
    SetUp();
    addEntry("a.hlsl", "a");
    addEntry("b.hlsl", "b");
    ASSERT_TRUE(writeFile(name, "planted"));
    ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
    const bool kept = name.find('~') == std::string::npos;
    const std::string out = runMerge();
    EXPECT_EQ(out.find("' was not made by this tool") != std::string::npos,
              kept)
        << out;
    EXPECT_EQ(packageBytes() == kOldPackage, kept);
    EXPECT_EQ(bytesOf(name), "planted");
  }
}

// What the user set on the package besides its mode stays with it and its
// copies, exactly: every ACL entry, nothing of the folder's default ACL.
TEST_F(MergeTest, AclsAndAttributesAreKept) {
  // An ACL in the kernel's xattr layout from (tag, permissions, id) triples.
  const auto acl = [](std::initializer_list<unsigned> entries) {
    std::string bytes("\x02\0\0\0", 4);
    for (auto it = entries.begin(); it != entries.end(); it += 3) {
      for (unsigned word : {it[0] | (it[1] << 16), it[2]}) {
        for (int i = 0; i < 32; i += 8) bytes += static_cast<char>(word >> i);
      }
    }
    return bytes;
  };
  const unsigned any = 0xffffffff;
  const auto attribute = [](const std::string& path, const char* name) {
    char value[256];
    const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
    return size < 0 ? std::string()
                    : std::string(value, static_cast<std::size_t>(size));
  };
  const char* access = "system.posix_acl_access";
  struct Case {
    const char* what;
    std::string access, folderDefault, user;
  };
  const Case cases[] = {
      // Others may read; nobody, by name, may not.
      {"a named entry granting nothing",
       acl({1, 6, any, 2, 0, 65534, 4, 4, any, 0x10, 4, any, 0x20, 4, any}), "",
       "kept"},
      {"a folder whose default ACL lets nobody read", "",
       acl({1, 7, any, 2, 4, 65534, 4, 0, any, 0x10, 4, any, 0x20, 0, any}),
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    addEntry("a.hlsl", "a");
    addEntry("b.hlsl", "b");
    for (const auto& [path, name, value] :
         {std::make_tuple(packagePath(), access, c.access),
          std::make_tuple(packagePath(), "user.quillmere", c.user),
          std::make_tuple(pkg, "system.posix_acl_default", c.folderDefault)}) {
      if (!value.empty() &&
          setxattr(path.c_str(), name, value.data(), value.size(), 0) != 0) {
        GTEST_SKIP() << name << " cannot be set on this file system";
      }
    }
    runMerge();
    EXPECT_NE(packageBytes(), kOldPackage);
    for (const std::string& path :
         {packagePath(), backupPath(), pkg + "/shaders.spk.orig"}) {
      EXPECT_EQ(attribute(path, access), c.access) << path;
    }
    EXPECT_EQ(attribute(packagePath(), "user.quillmere"), c.user);
  }
}

#endif

}  // namespace
