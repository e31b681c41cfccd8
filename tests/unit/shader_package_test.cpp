#include "package/shader_package.h"

#include <gtest/gtest.h>

#include "package/work_name.h"

namespace {

TEST(PathsTest, JoinByPlainConcatenation) {
  struct Case {
    std::string dir;
    std::string name;
    std::string work;
    std::string package;
    std::string pattern;
  };
  const Case cases[] = {
      {"work", "a.hlsl", "work/a.hlsl", "work/shaders.spk", "work/*"},
      {"", "a.hlsl", "/a.hlsl", "/shaders.spk", "/*"},
      // A trailing separator is kept and still gets "/".
      {"C:\\work\\", "a.hlsl", "C:\\work\\/a.hlsl", "C:\\work\\/shaders.spk",
       "C:\\work\\/*"},
      {"dir/", "x.hlsl", "dir//x.hlsl", "dir//shaders.spk", "dir//*"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(workFilePath(c.dir, c.name), c.work);
    EXPECT_EQ(packageFilePath(c.dir), c.package);
    EXPECT_EQ(searchPattern(c.dir), c.pattern);
  }
}

// The one rule both extraction and merge apply before a name becomes a path;
// the pre file name the stem rule makes of a name must pass it too.
TEST(NameRuleTest, OnlyNamesOfAFileOfTheirOwnPass) {
  const char* const safe[] = {"water.hlsl", "a b.hlsl",     "\xE9t\xE9.hlsl",
                              "ab.hls",     "CONSOLE.hlsl", "COM10.hlsl",
                              "xNUL.hlsl",  "COM\xB4.hlsl"};
  const char* const unsafe[] = {
      // Too short for a stem, or the pre file name is (".hlsl" gives ".pre").
      "", "abcd", ".hlsl", "a.hls",
      // Control bytes, DEL and what Windows reserves.
      "tab\tx.hlsl", "a\x1f.hlsl", "del\x7f.hlsl", "../x.hlsl", "..\\x.hlsl",
      "C:x.hlsl", "a*.hlsl", "a?.hlsl", "a\".hlsl", "a<b>.hlsl", "a|b.hlsl",
      // Windows drops a trailing dot or space and opens another file.
      "a.hlsl.", "a.hlsl ",
      // Devices, whatever follows the first dot, in any case, spaces before
      // the dot ignored; the pre file "NUL.pre" of "NULxhlsl" is one too.
      "CON.hlsl", "nul.hlsl", "CON  .hlsl", "CONIN$.hlsl", "conout$.hlsl",
      "NULxhlsl"};
  for (const char* name : safe) EXPECT_TRUE(isSafeName(name)) << name;
  for (const char* name : unsafe) EXPECT_FALSE(isSafeName(name)) << name;
#ifndef _WIN32
  // Ports, kept off the Windows build.
  for (const char* name : {"Aux.x.hlsl", "PRN  .hlsl", "COM0.hlsl", "lpt9.hlsl",
                           "COM\xB9.hlsl", "LPT\xB3.hlsl"}) {
    EXPECT_FALSE(isSafeName(name)) << name;
  }
#endif
}

}  // namespace
