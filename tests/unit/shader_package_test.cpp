#include "package/shader_package.h"

#include <gtest/gtest.h>

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

TEST(PathsTest, NamesWithoutAStemAreRefused) {
  const std::pair<std::string, bool> cases[] = {
      {"", false},     {"a", false},    {"abcd", false},
      {".hlsl", true}, {"a.hls", true}, {"water.hlsl", true},
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(hasStem(name), expected) << "'" << name << "'";
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
