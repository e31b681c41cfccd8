#include "app/run.h"

#include <string>

#include "package/shader_package.h"
#include "platform/platform.h"

namespace {

bool equalsIgnoringAsciiCase(const char* text, const char* word) {
  for (; *text != '\0' && *word != '\0'; ++text, ++word) {
    char a = *text;
    char b = *word;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return *text == '\0' && *word == '\0';
}

}  // namespace

int run(int argc, const char* const argv[], std::FILE* in) {
  if (argc < 4) {
    std::fputs("usage: Quillmere.exe [spk path] [work path] extract/merge\n",
               stdout);
    std::fflush(stdout);
    return 0;
  }
  std::string pksPath = argv[1];
  std::string workPath = argv[2];
  // Only "extract" is ever compared: any other word, misspellings included,
  // means merge.
  bool extraction = equalsIgnoringAsciiCase(argv[3], "extract");

  ShaderPackage package;
  package.setPaths(pksPath, workPath);
  if (extraction) {
    package.extract();
  } else {
    package.merge();
  }

  std::printf("Comleted %s\nPress a key to continue\n",
              extraction ? "extraction" : "merge");
  // The user must see the message before the tool sits waiting for a key.
  std::fflush(stdout);
  platform::waitForKey(in);
  return 0;
}
