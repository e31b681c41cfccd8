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

std::wstring wide(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
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

// Names are appended; a listing that fails appends none.
TEST(PlatformWin32Test, ListsFilesAndDirectoriesWhateverTheSeparators) {
  TempDir dir;
  TempDir empty;
  ASSERT_TRUE(writeFile(dir.file("a.hlsl"), "a"));
  ASSERT_TRUE(writeFile(dir.file("a.pre"), "p"));
  ASSERT_TRUE(makeDirectory(dir.file("backup")));
  ASSERT_TRUE(makeDirectory(dir.file(".svn")));
  const std::vector<std::string> all = {".svn", "a.hlsl", "a.pre", "backup"};
  const std::vector<std::string> none;
  const struct {
    std::string workPath;
    const std::vector<std::string>& listed;
    bool ok;
  } cases[] = {
      {dir.path(), all, true},
      {dir.path() + "/", all, true},
      {empty.path(), none, true},
      {dir.file("missing"), none, false},
      {backslashed(dir.file("missing")) + "\\", none, false},
      {dir.file("a.hlsl"), none, false},
      {"\\\\?\\" + backslashed(dir.file("missing")), none, false},
  };
  for (const auto& c : cases) {
    const std::string pattern = searchPattern(c.workPath);
    std::deque<std::string> names = {"kept"};
    EXPECT_EQ(platform::listDirectory(pattern, everyName, &names), c.ok)
        << pattern;
    EXPECT_EQ(names.front(), "kept") << "names are appended";
    EXPECT_EQ(entriesAfter(names, 1), c.listed) << pattern;
    EXPECT_TRUE(c.ok || names.size() == 1) << pattern;
  }
}

// The text functions in the code pages users have: the ANSI bytes the name
// rules judged before the tool held UTF-8, and the UTF-8 code page, which
// wine cannot be switched to.
TEST(PlatformWin32Test, TextIsJudgedInTheAnsiSpelling) {
  using platform::win32::ruleSpelling;
  const std::string yamada = "\xE5\xB1\xB1\xE7\x94\xB0";  // U+5C71 U+7530
  const std::string blurFe = "blur.f\xC3\xA9";
  const struct {
    unsigned codePage;
    std::string text;
    std::string rule;
  } spellings[] = {
      {1252, blurFe, "blur.f\xE9"},
      {1252, yamada + ".hlsl", "\x80\x80.hlsl"},
      {1252, "COM\xC2\xB9", "COM\xB9"},
      {1252, "\xEF\xBC\x8E\xEF\xBC\x8F.hlsl", "\x80\x80.hlsl"},  // no best fit
      {932, "COM\xC2\xB9", "COM\xB9"},  // no superscript in 932: still a port
      {932, "\xE3\x81\x82.hlsl", "\x82\xA0.hlsl"},
      {932, "\xE8\xA1\xA8.hlsl", "\x95\x5C.hlsl"},  // a trail byte '\\'
      {65001, yamada + ".hlsl", yamada + ".hlsl"},
      {1252, "\xF0\x9F\x98\x80.hlsl", "\x80.hlsl"},  // a pair is one character
  };
  for (const auto& c : spellings) {
    EXPECT_EQ(ruleSpelling(c.text, c.codePage), c.rule)
        << c.codePage << " " << c.rule;
  }

  const struct {
    unsigned codePage;
    std::string path;
    std::string pre;
  } stems[] = {
      {1252, "w/" + blurFe, "w/bl.pre"},
      {1252, "w/" + yamada + ".hlsl", "w/" + yamada + ".pre"},
      {932, "w/\xE3\x81\x82.hlsl", "w/\xE3\x81\x82.pre"},
      {65001, "w/" + blurFe, "w/blu.pre"},  // UTF-8 is the ANSI spelling
      {1252,
       "w/a\xF0\x9F\x98\x80"
       "bcde",
       "w/a.pre"},
  };
  for (const auto& c : stems) {
    EXPECT_EQ(platform::win32::replaceTail(c.path, 5, ".pre", c.codePage),
              c.pre)
        << c.codePage << " " << c.pre;
  }

  const struct {
    unsigned codePage;
    std::string lowBytes;
    std::string text;
  } packageNames[] = {
      {1252, "caf\xE9.hlsl", "caf\xC3\xA9.hlsl"},
      {1252, "\x80.hlsl", "\xE2\x82\xAC.hlsl"},
      {932, "\x82\xA0.hlsl", "\xE3\x81\x82.hlsl"},  // lead and trail paired
      // A lead byte last in the stem is no trail for the dot: U+9A01 U+30FB.
      {932, "\xE9t\xE9.hlsl", "\xE9\xA8\x81\xE3\x83\xBB.hlsl"},
      {65001, "caf\xE9.hlsl", "caf\xC3\xA9.hlsl"},  // read as Windows-1252
      {65001, "\x80.hlsl", "\xE2\x82\xAC.hlsl"},
  };
  for (const auto& c : packageNames) {
    EXPECT_EQ(platform::win32::textOfLowBytes(c.lowBytes, c.codePage), c.text)
        << c.codePage << " " << c.text;
  }

  const std::string fullwidthExtract =
      "\xEF\xBD\x85\xEF\xBD\x98\xEF\xBD\x94\xEF\xBD\x92\xEF\xBD\x81\xEF\xBD\x83"
      "\xEF\xBD\x94";
  for (unsigned codePage : {1252u, 65001u}) {
    EXPECT_EQ(platform::win32::modeSpelling(fullwidthExtract, codePage),
              "extract")
        << codePage;
  }
}

// A console is given the line as UTF-16; anything else gets the ANSI
// bytes: the line itself under UTF-8, '?' in 1252 (e2e.windows_paths).
TEST(PlatformWin32Test, OutputLinesInEachMode) {
  const std::string line =
      "Merged: 'C:/\xE5\xB1\xB1\xE7\x94\xB0/\xC5\x81\xC3\xB3"
      "d\xC5\xBA.hlsl'\n";
  EXPECT_EQ(platform::win32::toWide(line),
            L"Merged: 'C:/\u5c71\u7530/\u0141\u00f3d\u017a.hlsl'\n");
  EXPECT_EQ(platform::win32::outputBytes(line, 65001), line);
}

// What the W calls are given: paths the legacy limit would refuse in the
// \\?\ form, made absolute and resolved the way the system resolves a short
// path; paths the user gave in that form with our "/" joins made
// backslashes.
TEST(PlatformWin32Test, SystemPathsPassTheLegacyLimit) {
  const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e');
  const std::wstring wideDeep =
      wide(std::string(120, 'd') + "\\" + std::string(120, 'e'));
  wchar_t current[1024];
  const DWORD length = GetCurrentDirectoryW(1024, current);
  ASSERT_GT(length, 0u);
  std::wstring here(current, length);
  if (here.back() != L'\\') here += L'\\';
  const struct {
    std::string path;
    std::wstring expected;
  } cases[] = {
      {"C:/work/a.hlsl", L"C:/work/a.hlsl"},  // short: as it was
      {"C:/work/" + deep + "/a.hlsl",
       L"\\\\?\\C:\\work\\" + wideDeep + L"\\a.hlsl"},
      {"C:\\work\\" + deep + "\\/a.hlsl",
       L"\\\\?\\C:\\work\\" + wideDeep + L"\\a.hlsl"},
      {"C:/work/../" + deep + "/./a.hlsl",
       L"\\\\?\\C:\\" + wideDeep + L"\\a.hlsl"},
      {deep + "/a.hlsl", L"\\\\?\\" + here + wideDeep + L"\\a.hlsl"},
      {"//server/share/" + deep + "/a.hlsl",
       L"\\\\?\\UNC\\server\\share\\" + wideDeep + L"\\a.hlsl"},
      {"//./pipe/" + deep, L"\\\\.\\pipe\\" + wideDeep},
      {"\\\\?\\C:\\work/a.hlsl", L"\\\\?\\C:\\work\\a.hlsl"},
      {"\\\\?\\C:\\work\\/a.hlsl", L"\\\\?\\C:\\work\\a.hlsl"},
      {"\\\\?\\C:\\" + deep + "/*", L"\\\\?\\C:\\" + wideDeep + L"\\*"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::win32::systemPath(c.path), c.expected) << c.path;
  }
}

// Every code page gets the flags it takes: UTF-8 fails the whole call when
// given the best-fit flag or a default character, and every name with it.
// Whatever has no exact form comes back as '?', which the name rule refuses.
TEST(PlatformWin32Test, ListedNamesAreSpeltExactlyOrRefusable) {
  const platform::win32::NameConversion utf8 =
      platform::win32::nameConversion(65001);
  EXPECT_EQ(utf8.flags, static_cast<unsigned long>(WC_ERR_INVALID_CHARS));
  EXPECT_EQ(utf8.defaultChar, nullptr);
  for (unsigned codePage : {1252u, 932u}) {
    const platform::win32::NameConversion legacy =
        platform::win32::nameConversion(codePage);
    EXPECT_EQ(legacy.flags, static_cast<unsigned long>(WC_NO_BEST_FIT_CHARS))
        << codePage;
    ASSERT_NE(legacy.defaultChar, nullptr) << codePage;
    EXPECT_STREQ(legacy.defaultChar, "?") << codePage;
  }

  const wchar_t loneSurrogate[] = {L'a', 0xD800, L'b', L'.', L'h',
                                   L'l', L's',   L'l', 0};
  const struct {
    unsigned codePage;
    const wchar_t* name;
    std::string expected;
  } cases[] = {
      {1252, L"caf\u00e9.hlsl", "caf\xE9.hlsl"},
      {1252, L"\uff0e\uff0e\uff0fup.hlsl", "???up.hlsl"},  // no best fit
      {932, L"\u3042.hlsl", "\x82\xA0.hlsl"},
      {932, L"caf\u00e9.hlsl", "caf?.hlsl"},  // not "cafe.hlsl"
      {65001, L"caf\u00e9.hlsl", "caf\xC3\xA9.hlsl"},
      // How a listed name arrives: as UTF-8, as it was made in UTF-16.
      {65001, L"\u5c71-\U0001F600.hlsl", "\xE5\xB1\xB1-\xF0\x9F\x98\x80.hlsl"},
      {65001, loneSurrogate, "a?b.hlsl"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::win32::spellName(c.name, c.codePage), c.expected)
        << c.codePage << " " << c.expected;
  }
}

// The built Quillmere.exe as the loader and Explorer read it: a manifest
// that lifts the path limit, names Windows 10 and 11 and asks for no
// elevation, and the project's version and description.
TEST(PlatformWin32Test, TheExecutableSaysWhatItIs) {
  const std::wstring exe = wide(QUILLMERE_EXE);
  DWORD handle = 0;
  std::vector<unsigned char> info(
      GetFileVersionInfoSizeW(exe.c_str(), &handle));
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0,
                                  static_cast<DWORD>(info.size()), info.data()))
      << QUILLMERE_EXE;
  for (const auto& s :
       {std::make_pair(L"ProductName", "Quillmere"),
        std::make_pair(L"FileVersion", QUILLMERE_VERSION),
        std::make_pair(L"FileDescription", QUILLMERE_DESCRIPTION)}) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key =
        std::wstring(L"\\StringFileInfo\\040904B0\\") + s.first;
    ASSERT_TRUE(VerQueryValueW(info.data(), key.c_str(), &value, &length));
    EXPECT_EQ(static_cast<const wchar_t*>(value), wide(s.second));
  }

  HMODULE module =
      LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1),
                              MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr) << "no manifest";
  const std::string manifest(
      static_cast<const char*>(LockResource(LoadResource(module, found))),
      SizeofResource(module, found));
  FreeLibrary(module);
  const std::size_t longPaths = manifest.find("longPathAware");
  EXPECT_EQ(manifest.compare(manifest.find('>', longPaths), 6, ">true<"), 0);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  // Windows 10 and 11
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),
            std::string::npos)
      << manifest;
}

TEST(PlatformWin32Test, OnlyFilesOnADiskAreOpenedForReading) {
  TempDir dir;
  ASSERT_TRUE(writeFile(dir.file("a.hlsl"), "shader"));
  std::uint64_t size = 0;
  platform::File file = platform::openForReading(dir.file("a.hlsl"), &size);
  ASSERT_TRUE(file.isOpen());
  EXPECT_EQ(size, 6u);
  // Shared every way: an editor that saves by moving the file aside and
  // writing a new one is not refused while a merge reads it.
  EXPECT_TRUE(
      MoveFileExA(dir.file("a.hlsl").c_str(), dir.file("a.hlsl~").c_str(), 0));
  ASSERT_TRUE(writeFile(dir.file("a.hlsl"), "edited"));
  unsigned char data[6];
  EXPECT_TRUE(platform::readExactly(file, data, sizeof data));
  EXPECT_EQ(std::string(data, data + sizeof data), "shader");
  EXPECT_TRUE(file.close());

  // A work file named after a device opens the device.
  EXPECT_FALSE(platform::openForReading("NUL", &size).isOpen());
}

}  // namespace
