#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>

#include "package/shader_package.h"
#include "support/capture.h"
#include "support/temp_dir.h"

namespace {

// The names in `list`, separated by spaces.
std::deque<std::string> names(const std::string& list) {
  std::deque<std::string> out;
  for (std::size_t at = 0, end; at < list.size(); at = end + 1) {
    end = std::min(list.find(' ', at), list.size());
    out.push_back(list.substr(at, end - at));
  }
  return out;
}

TEST(ListWorkFilesTest, SkipRulesCountAndParity) {
  struct Case {
    const char* files;
    const char* directories;
    const char* listed;
    bool result;
    const char* warnedOf = nullptr;  // a package the listing points out
    const char* workIn = nullptr;    // a work folder below the test's
  };
  const Case cases[] = {
      // .pre anywhere in the name, case-sensitively; .svn exactly.
      {"a.hlsl a.pre sky.prepass.hlsl a.pre.bak x.PRE", ".svn backup",
       "a.hlsl backup x.PRE", false},
      {"a.hlsl a.pre", ".SVN", ".SVN a.hlsl", true},
      // Left by a merge with the folders swapped: counted, and pointed out,
      // in any case; when the count is refused, it is the likely reason.
      {"Shaders.SPK a.hlsl a.pre", "", "a.hlsl Shaders.SPK", true,
       "Shaders.SPK"},
      {"shaders.spk a.hlsl a.pre b.hlsl b.pre", "", "a.hlsl b.hlsl shaders.spk",
       false, "shaders.spk"},
      // Not listed, and not said: the merge says it failed.
      {"a.hlsl a.pre", "", "kept", false, nullptr, "missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files + std::string(" / ") + c.directories);
    TempDir dir;
    for (const std::string& file : names(c.files)) {
      ASSERT_TRUE(writeFile(dir.file(file), "x"));
    }
    for (const std::string& sub : names(c.directories)) {
      ASSERT_TRUE(makeDirectory(dir.file(sub)));
    }
    ShaderPackage package;
    package.setPaths("unused", c.workIn ? dir.file(c.workIn) : dir.path());
    package.fileList = {"kept"};
    bool result = false;
    const std::string out =
        captureStdout([&] { result = package.listWorkFiles(); });
    std::string expected =
        "Found " + std::to_string(names(c.listed).size()) + " files\n";
    if (c.warnedOf != nullptr) {
      expected +=
          "Warning: A package, not a shader, maybe left from swapped "
          "folders: '" +
          dir.file(c.warnedOf) + "'\n";
    }
    if (!c.result) {
      expected += "Expected an even number of files in work path, aborting\n";
    }
    EXPECT_EQ(out, c.workIn ? "" : expected);
    EXPECT_EQ(result, c.result);
    // A refused listing keeps its names too.
    EXPECT_EQ(package.fileList, names(c.listed));
  }
}

#ifndef _WIN32
// On Windows the order is the file system's own, and names that differ only
// in case cannot live side by side.
TEST(ListWorkFilesTest, NamesComeInNtfsOrder) {
  TempDir dir;
  // a-z folded to A-Z, so '_' (after 'Z') sorts after every letter but '['
  // before it; names equal under the fold go by their plain bytes.
  const std::deque<std::string> expected = {"a", "Ab", "aB", "ab", "a_", "B",
                                            "b", "Z",  "z1", "[",  "_",  "~"};
  // Create them in an order unlike the expected one.
  for (auto it = expected.rbegin(); it != expected.rend(); ++it) {
    ASSERT_TRUE(writeFile(dir.file(*it), ""));
  }
  ShaderPackage package;
  package.setPaths("", dir.path());
  bool listed = false;
  captureStdout([&] { listed = package.listWorkFiles(); });
  EXPECT_TRUE(listed);
  EXPECT_EQ(package.fileList, expected);
}
#endif

}  // namespace
