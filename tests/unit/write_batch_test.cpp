#include "package/write_batch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Paths that may be one file must compare equal; a path that cannot be
// compared safely has no identity and is written on its own.
TEST(FileIdentityTest, EqualForEverySpellingOfOneFile) {
  struct Case {
    const char* path;
    const char* identity;
  };
  const Case cases[] = {
      {"work/water.hlsl", "WATER.HLSL"},
      {"other/dir/Water.HLSL", "WATER.HLSL"},
      {"C:\\work\\x/shader_01-a.pre", "SHADER_01-A.PRE"},
      {"w/.hidden.hlsl", ".HIDDEN.HLSL"},
      // Windows drops a trailing dot, answers to 8.3 aliases and may fold
      // bytes above 127 by its code page.
      {"w/water.hlsl.", ""},
      {"w/WATER~1.HLS", ""},
      {"w/caf\xE9.hlsl", ""},
      {"w/Caf\xC9.hlsl", ""},
      {"w/a b.hlsl", ""},
      {"w/a+b.hlsl", ""},
      // Devices, whatever follows the first dot.
      {"w/con.hlsl", ""},
      {"w/Nul.x.hlsl", ""},
      {"w/com7.pre", ""},
      {"w/LPT1.hlsl", ""},
      {"w/console.hlsl", "CONSOLE.HLSL"},
      {"w/com10.hlsl", "COM10.HLSL"},
      {"w/", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fileIdentity(c.path), c.identity) << c.path;
  }
}

TEST(WriteBatchTest, EntriesThatMayShareAFileNeverShareABatch) {
  WriteBatch batch(100);
  EXPECT_TRUE(batch.canTake("w/a.pre", "w/a.hlsl", 100));
  EXPECT_FALSE(batch.canTake("w/a.pre", "w/a.hlsl", 101));
  batch.space(10);
  batch.add("a.hlsl", "w/a.pre", "w/a.hlsl", 6, 4, 4);

  struct Case {
    const char* pre;
    const char* shader;
    std::size_t bytes;
    bool joins;
  };
  const Case cases[] = {
      {"w/b.pre", "w/b.hlsl", 90, true},
      {"w/b.pre", "w/b.hlsl", 91, false},  // no room
      {"w/A.pre", "w/A.hlsl", 1, false},   // case only
      {"w/A.pre", "w/a.pre", 1, false},    // its shader file is a's pre file
      {"w/a.p.pre", "w/a.pre", 1, false},
      {"w/b~1.pre", "w/b~1.hlsl", 1, false},  // compared only on its own
  };
  for (const Case& c : cases) {
    EXPECT_EQ(batch.canTake(c.pre, c.shader, c.bytes), c.joins) << c.shader;
  }

  // An entry that may share a file with any other stays alone.
  batch.clear();
  batch.space(1);
  batch.add("b~1.hlsl", "w/b~1.pre", "w/b~1.hlsl", 1, 0, 0);
  EXPECT_FALSE(batch.canTake("w/z.pre", "w/z.hlsl", 1));

  // Entries that take no room still fill the batch at some point.
  batch.clear();
  int skipped = 0;
  for (; !batch.full() && skipped < 100000; ++skipped) batch.addSkipped("x");
  EXPECT_LT(skipped, 100000);
  EXPECT_FALSE(batch.canTake("w/z.pre", "w/z.hlsl", 0));
  batch.clear();
  EXPECT_TRUE(batch.canTake("w/z.pre", "w/z.hlsl", 0));
}

}  // namespace
