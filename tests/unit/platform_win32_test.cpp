// The Windows side of the platform layer, run against the real file system
// (under wine on Linux machines). Paths are spelt the ways a Windows user
// types them: backslashes, forward slashes, and a trailing backslash that the
// tool's path forming follows with "/".
#include <gtest/gtest.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "package/shader_package.h"
#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

bool everyName(const std::string&) { return true; }

std::string backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// The names after `skip` leading ones, without "." and "..", sorted: the
// enumeration order is the file system's.
std::vector<std::string> entriesAfter(const std::deque<std::string>& names,
                                      std::size_t skip) {
  std::vector<std::string> entries;
  for (std::size_t i = skip; i < names.size(); ++i) {
    if (names[i] != "." && names[i] != "..") entries.push_back(names[i]);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST(PlatformWin32Test, ListsFilesAndDirectoriesWhateverTheSeparators) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("a.hlsl"), "a"));
  ASSERT_TRUE(writeFile(dir.file("a.pre"), "p"));
  ASSERT_TRUE(makeDirectory(dir.file("backup")));
  ASSERT_TRUE(makeDirectory(dir.file(".svn")));
  const std::vector<std::string> expected = {".svn", "a.hlsl", "a.pre",
                                             "backup"};
  const std::string workPaths[] = {
      dir.path(),
      backslashed(dir.path()),
      backslashed(dir.path()) + "\\",  // the pattern becomes ...\/*
      dir.path() + "/",
  };
  for (const std::string& workPath : workPaths) {
    std::deque<std::string> names = {"kept"};
    ASSERT_TRUE(
        platform::listDirectory(searchPattern(workPath), everyName, &names))
        << searchPattern(workPath);
    EXPECT_EQ(names.front(), "kept") << "names are appended";
    EXPECT_EQ(entriesAfter(names, 1), expected) << searchPattern(workPath);
  }

  TempDir empty;
  std::deque<std::string> names;
  ASSERT_TRUE(
      platform::listDirectory(searchPattern(empty.path()), everyName, &names));
  EXPECT_TRUE(entriesAfter(names, 0).empty());
}

TEST(PlatformWin32Test, ListingFailsWhenTheDirectoryCannotBeRead) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("plain.txt"), "not a directory"));
  const std::string workPaths[] = {
      dir.file("missing"),
      backslashed(dir.file("missing")) + "\\",
      dir.file("plain.txt"),
  };
  for (const std::string& workPath : workPaths) {
    std::deque<std::string> names = {"kept"};
    EXPECT_FALSE(
        platform::listDirectory(searchPattern(workPath), everyName, &names))
        << workPath;
    EXPECT_EQ(names, std::deque<std::string>{"kept"}) << workPath;
  }
}

TEST(PlatformWin32Test, AnsiNamesComeBackByteForByte) {
  if (GetACP() != 1252) GTEST_SKIP() << "the name is a Windows-1252 text";
  TempDir dir;
  const std::string name = "\xE9t\xE9-caf\xE9.hlsl";
  ASSERT_TRUE(writeFile(workFilePath(dir.path(), name), "x"));
  std::deque<std::string> names;
  ASSERT_TRUE(
      platform::listDirectory(searchPattern(dir.path()), everyName, &names));
  EXPECT_EQ(entriesAfter(names, 0), std::vector<std::string>{name});
}

TEST(PlatformWin32Test, PathsAfterATrailingBackslashReachTheWorkDirectory) {
  TempDir dir;
  const std::string workPath = backslashed(dir.path()) + "\\";
  const std::string shaderPath = workFilePath(workPath, "water.hlsl");
  ASSERT_TRUE(writeFile(shaderPath, "float4 main();"));
  ASSERT_TRUE(writeFile(preFilePath(shaderPath), "header"));
  std::string contents;
  ASSERT_TRUE(readFile(dir.file("water.hlsl"), &contents));
  EXPECT_EQ(contents, "float4 main();");
  ASSERT_TRUE(readFile(dir.file("water.pre"), &contents));
  EXPECT_EQ(contents, "header");
}

// The old file becomes the backup, replacing an older one; a failed
// replacement leaves both as they were.
TEST(PlatformWin32Test, ReplaceFileKeepsTheOldFileAsTheBackup) {
  for (bool targetExists : {false, true}) {
    TempDir dir;
    const std::string from = backslashed(dir.file("shaders.spk.new"));
    const std::string to = backslashed(dir.file("shaders.spk"));
    const std::string backup = backslashed(dir.file("shaders.spk.bak"));
    ASSERT_TRUE(writeFile(from, "new"));
    ASSERT_TRUE(writeFile(backup, "older"));
    if (targetExists) {
      ASSERT_TRUE(writeFile(to, "old contents"));
    }
    EXPECT_TRUE(platform::replaceFile(from, to, backup)) << targetExists;
    std::string contents;
    ASSERT_TRUE(readFile(to, &contents));
    EXPECT_EQ(contents, "new");
    ASSERT_TRUE(readFile(backup, &contents));
    EXPECT_EQ(contents, targetExists ? "old contents" : "older");
    EXPECT_FALSE(fileExists(from));
  }

  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("shaders.spk"), "old"));
  ASSERT_TRUE(writeFile(dir.file("shaders.spk.bak"), "older"));
  EXPECT_FALSE(platform::replaceFile(dir.file("missing"),
                                     dir.file("shaders.spk"),
                                     dir.file("shaders.spk.bak")));
  std::string contents;
  ASSERT_TRUE(readFile(dir.file("shaders.spk"), &contents));
  EXPECT_EQ(contents, "old");
  ASSERT_TRUE(readFile(dir.file("shaders.spk.bak"), &contents));
  EXPECT_EQ(contents, "older");
}

TEST(PlatformWin32Test, OnlyFilesOnADiskHaveASize) {
  TempDir dir;
  std::FILE* file = std::fopen(dir.file("a.hlsl").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("synced", file);
  EXPECT_TRUE(platform::syncFile(file));
  std::uint64_t size = 0;
  EXPECT_TRUE(platform::fileSize(file, &size));
  EXPECT_EQ(size, 6u);
  std::fclose(file);
  std::string contents;
  ASSERT_TRUE(readFile(dir.file("a.hlsl"), &contents));
  EXPECT_EQ(contents, "synced");

  // A work file named after a device opens the device.
  std::FILE* device = std::fopen("NUL", "rb");
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(platform::fileSize(device, &size));
  std::fclose(device);

  // Windows refuses to open a directory; should it ever open one, it is not
  // a regular file.
  std::FILE* directory = std::fopen(dir.path().c_str(), "rb");
  if (directory != nullptr) {
    EXPECT_FALSE(platform::fileSize(directory, &size));
    std::fclose(directory);
  }
}

}  // namespace
