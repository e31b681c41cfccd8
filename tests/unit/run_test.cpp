#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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
  testing::internal::CaptureStdout();
  int status = run(static_cast<int>(args.size()), argv.data(), in);
  std::fflush(stdout);
  RunResult result{status, testing::internal::GetCapturedStdout(),
                   std::fgetc(in)};
  std::fclose(in);
  return result;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(RunTest, ShortCommandLinePrintsUsageAndReadsNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"Quillmere.exe"},
      {"Quillmere.exe", "pkg"},
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

TEST(RunTest, OnlyExtractInAnyCaseSelectsExtraction) {
  TempDir dir;  // neither a package nor a work directory in it
  const std::string missing = dir.file("missing");
  const std::pair<std::string, const char*> cases[] = {
      {"extract", "extraction"},
      {"EXTRACT", "extraction"},
      {"Extract", "extraction"},
      {"eXtRaCt", "extraction"},
      {"merge", "merge"},
      {"MERGE", "merge"},
      {"", "merge"},
      {"extrct", "merge"},
      {"extract ", "merge"},
      {"extracted", "merge"},
      {"extrac", "merge"},
  };
  for (const auto& [mode, name] : cases) {
    RunResult r = runWith({"Quillmere.exe", missing, missing, mode}, "kq");
    EXPECT_EQ(r.status, 0) << mode;
    EXPECT_TRUE(endsWith(
        r.out, std::string("Comleted ") + name + "\nPress a key to continue\n"))
        << "mode '" << mode << "' printed:\n"
        << r.out;
    EXPECT_EQ(r.nextInput, 'q') << "exactly one character is read";
  }
}

TEST(RunTest, ArgumentsAfterTheThirdChangeNothing) {
  TempDir dir;
  const std::string missing = dir.file("missing");
  RunResult plain = runWith({"q", missing, missing, "extract"}, "k");
  RunResult extra =
      runWith({"q", missing, missing, "extract", "merge", "more"}, "k");
  EXPECT_EQ(plain.out, extra.out);
}

TEST(RunTest, EndOfInputEndsTheWait) {
  TempDir dir;
  RunResult r = runWith({"q", dir.file("x"), dir.file("y"), "merge"}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.nextInput, EOF);
}

}  // namespace
