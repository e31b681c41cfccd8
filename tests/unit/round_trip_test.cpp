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
// merging gives back the same bytes. The fuzz replay's seeds hold the other
// packages; names not ending in .hlsl are a merge row.
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
  TempDir dir;
  ASSERT_TRUE(makeDirectory(dir.file("work")));
  const std::string original = buildPackage(many);
  ASSERT_TRUE(writeFile(dir.file("shaders.spk"), original));
  ShaderPackage package;
  package.setPaths(dir.path(), dir.file("work"));
  captureStdout([&] {
    package.extract();
    package.merge();
  });
  // Compared as a flag: a failure would print 64 KiB of content.
  std::string merged;
  EXPECT_TRUE(readFile(dir.file("shaders.spk"), &merged));
  EXPECT_TRUE(merged == original)
      << merged.size() << " bytes, expected " << original.size();
}

}  // namespace
