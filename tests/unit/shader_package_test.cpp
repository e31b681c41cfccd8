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

TEST(PathsTest, StemRuleSwapsTheLastFiveBytesForPreAndBack) {
  struct Case {
    std::string shader;
    std::string pre;
  };
  const Case cases[] = {
      {"w/water.hlsl", "w/water.pre"},
      {"w/a.b.hlsl", "w/a.b.pre"},
      // The rule counts bytes and never looks for the dot.
      {"w/water.HLSL", "w/water.pre"},
      {"w/abcde", "w/.pre"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(preFilePath(c.shader), c.pre) << c.shader;
  }
  EXPECT_EQ(shaderFilePath("w/water.pre"), "w/water.hlsl");
  EXPECT_EQ(shaderFilePath(preFilePath("dir/x/sky.hlsl")), "dir/x/sky.hlsl");
}

// The one rule both extraction and merge apply before a name becomes a path;
// the pre file name the stem rule makes of a name must pass it too.
TEST(NameRuleTest, OnlyNamesOfAFileOfTheirOwnPass) {
  const std::pair<std::string, bool> cases[] = {
      {"water.hlsl", true},
      {"a b.hlsl", true},
      {"\xE9t\xE9.hlsl", true},
      {"ab.hls", true},
      // Too short for a stem, or the pre file name is (".hlsl" gives ".pre").
      {"", false},
      {"abcd", false},
      {".hlsl", false},
      {"a.hls", false},
      // Control bytes, DEL and what Windows reserves.
      {"tab\tx.hlsl", false},
      {"a\x1f.hlsl", false},
      {"del\x7f.hlsl", false},
      {"../x.hlsl", false},
      {"..\\x.hlsl", false},
      {"C:x.hlsl", false},
      {"a*.hlsl", false},
      {"a?.hlsl", false},
      {"a\".hlsl", false},
      {"a<b>.hlsl", false},
      {"a|b.hlsl", false},
      // Windows drops a trailing dot or space and opens another file.
      {"a.hlsl.", false},
      {"a.hlsl ", false},
      // Devices, whatever follows the first dot, in any case, spaces before
      // the dot ignored; the pre file "NUL.pre" of "NULxhlsl" is one too.
      {"CON.hlsl", false},
      {"nul.hlsl", false},
      {"Aux.x.hlsl", false},
      {"PRN  .hlsl", false},
      {"CONIN$.hlsl", false},
      {"conout$.hlsl", false},
      {"COM0.hlsl", false},
      {"lpt9.hlsl", false},
      {"COM\xB9.hlsl", false},
      {"LPT\xB3.hlsl", false},
      {"NULxhlsl", false},
      {"CONSOLE.hlsl", true},
      {"COM10.hlsl", true},
      {"xNUL.hlsl", true},
      {"COM\xB4.hlsl", true},
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(isSafeName(name), expected) << "'" << name << "'";
  }
}

TEST(NameRuleTest, PrintableShowsControlBytesAsHex) {
  const std::pair<std::string, std::string> cases[] = {
      {"water.hlsl", "water.hlsl"},
      {"a\nwritten 1 bytes", "a\\x0awritten 1 bytes"},
      {"\x1b[2J\x7f", "\\x1b[2J\\x7f"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"caf\xE9 \xFF", "caf\xE9 \xFF"},
  };
  for (const auto& [text, shown] : cases) {
    EXPECT_EQ(printable(text), shown);
  }
}

TEST(ShaderPackageTest, StartsEmptyAndTakesBothPaths) {
  ShaderPackage package;
  EXPECT_TRUE(package.pksPath.empty());
  EXPECT_TRUE(package.workPath.empty());
  EXPECT_TRUE(package.fileList.empty());
  package.setPaths("pkg", "work");
  package.setPaths("pkg2\\", "");
  EXPECT_EQ(package.pksPath, "pkg2\\");
  EXPECT_EQ(package.workPath, "");
}

}  // namespace
