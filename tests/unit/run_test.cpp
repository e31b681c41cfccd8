#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/temp_dir.h"

namespace {

struct RunResult {
  int status;
  std::string out;
  int nextInput;  // the first character left unread on standard input
};

RunResult runWith(const std::vector<std::string>& args,
                  const std::string& input) {
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  // Not std::tmpfile(): on Windows it creates its file in the drive's root,
  // which takes administrator rights.
  TempDir inputDir;
  const std::string inputPath = inputDir.file("input");
  EXPECT_TRUE(writeFile(inputPath, input));
  std::FILE* in = std::fopen(inputPath.c_str(), "rb");
  if (in == nullptr) {
    ADD_FAILURE() << "cannot open " << inputPath;
    return {};
  }
  int status = -1;
  const std::string out = captureStdout(
      [&] { status = run(static_cast<int>(args.size()), argv.data(), in); });
  RunResult result{status, out, std::fgetc(in)};
  std::fclose(in);
  return result;
}

TEST(RunTest, ShortCommandLinePrintsUsageAndReadsNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"Quillmere.exe"},
      {"Quillmere.exe", "pkg", "work"},
  };
  for (const auto& args : cases) {
    RunResult r = runWith(args, "x");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "usage: Quillmere.exe [spk path] [work path] extract/merge\n");
    EXPECT_EQ(r.nextInput, 'x') << "the usage path must not wait for a key";
  }
}

// Only the third argument chooses, and only "extract" in any case is
// extraction; whatever follows it changes nothing. A word that is not
// "merge" either is named in a warning first.
TEST(RunTest, OnlyExtractInAnyCaseSelectsExtraction) {
  TempDir dir;  // neither a package nor a work directory in it
  const std::string missing = dir.file("missing");
  struct Case {
    std::vector<std::string> words;
    const char* name;
    const char* warned;  // the word as the warning shows it
  };
  const Case cases[] = {
      {{"extract"}, "extraction", nullptr},
      {{"EXTRACT"}, "extraction", nullptr},
      {{"eXtRaCt"}, "extraction", nullptr},
      {{"extract", "merge", "more"}, "extraction", nullptr},
      {{"merge"}, "merge", nullptr},
      {{"mErGe", "extract"}, "merge", nullptr},
      {{""}, "merge", ""},
      {{"extract "}, "merge", "extract "},
      {{"extracted"}, "merge", "extracted"},
      {{"extrac"}, "merge", "extrac"},
      {{"merge\n"}, "merge", "merge\\x0a"},
  };
  const std::string notOpened =
      "could not open shaders.spk: '" + missing + "/shaders.spk'\n";
  for (const Case& c : cases) {
    std::vector<std::string> args = {"Quillmere.exe", missing, missing};
    args.insert(args.end(), c.words.begin(), c.words.end());
    RunResult r = runWith(args, "kq");
    EXPECT_EQ(r.status, 0) << c.words[0];
    // The operation's own lines tell which one ran, then the completion.
    std::string expected = c.warned == nullptr
                               ? ""
                               : "Warning: Unknown mode '" +
                                     std::string(c.warned) + "', merging\n";
    expected +=
        (std::string(c.name) == "extraction" ? notOpened
                                             : "Failed enumerating files\n") +
        "Comleted " + c.name + "\nPress a key to continue\n";
    EXPECT_EQ(r.out, expected) << "mode '" << c.words[0] << "'";
    EXPECT_EQ(r.nextInput, 'q') << "exactly one character is read";
  }
}

}  // namespace
