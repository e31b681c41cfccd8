#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "package/shader_package.h"
#include "support/capture.h"
#include "support/package_builder.h"
#include "support/temp_dir.h"

namespace {

// Entries in the order the merge lists their shader files, so extracting and
// merging gives back the same bytes.
TEST(RoundTripTest, ExtractThenMergeGivesTheSameBytes) {
  // Over 8 MiB, so the merge asks the system to start writing the package
  // out part-way through; what lands must not change.
  std::vector<TestEntry> many;
  for (int i = 0; i < 160; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "s%03d.hlsl", i);
    many.push_back(makeEntry(name, std::string(60000, char('a' + i % 26)),
                             static_cast<std::uint32_t>(i), 9));
  }

  // The fuzz replay's seeds hold the other packages.
  const std::vector<std::vector<TestEntry>> packages = {
      many,
      // Names not ending in .hlsl come back too, on every system.
      {makeEntry("blur.fx", "float4 blur;", 1, 2),
       makeEntry("common.hlsli", "#define COMMON 1\n"),
       makeEntry("Sky.HLSL", "float4 sky;", 3, 4),
       makeEntry("water.hlsl", "w")},
  };
  TempDir dir;
  ASSERT_TRUE(makeDirectory(dir.file("pkg")));
  const std::string packagePath = dir.file("pkg/shaders.spk");
  int round = 0;
  for (const std::vector<TestEntry>& entries : packages) {
    SCOPED_TRACE(entries.size());
    // Extraction leaves other files alone, so each round needs its own
    // work directory.
    std::string work = dir.file("work" + std::to_string(++round));
    ASSERT_TRUE(makeDirectory(work));
    ShaderPackage package;
    package.setPaths(dir.file("pkg"), work);
    std::string original = buildPackage(entries);
    ASSERT_TRUE(writeFile(packagePath, original));
    captureStdout([&] {
      package.extract();
      package.merge();
    });
    // Compared as a flag: a failure would print 64 KiB of content.
    std::string merged;
    EXPECT_TRUE(readFile(packagePath, &merged));
    EXPECT_TRUE(merged == original)
        << merged.size() << " bytes, expected " << original.size();
  }
}

}  // namespace
