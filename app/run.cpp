#include "app/run.h"

#include <string>

#include "package/messages.h"
#include "package/shader_package.h"
#include "platform/platform.h"

namespace {

bool equalsIgnoringAsciiCase(const char* text, const char* word) {
  for (; *text != '\0' && *word != '\0'; ++text, ++word) {
    if (platform::lowerAscii(*text) != platform::lowerAscii(*word)) {
      return false;
    }
  }
  return *text == '\0' && *word == '\0';
}

}  // namespace

int run(int argc, const char* const argv[], std::FILE* in) {
  if (argc < 4) {
    message::usage();
    std::fflush(stdout);
    return 0;
  }
  std::string pksPath = argv[1];
  std::string workPath = argv[2];
  // Only "extract" is ever compared: any other word, misspellings included,
  // means merge.
  bool extraction = equalsIgnoringAsciiCase(
      platform::modeSpelling(argv[3]).c_str(), "extract");

  ShaderPackage package;
  package.setPaths(pksPath, workPath);
  if (extraction) {
    package.extract();
  } else {
    package.merge();
  }

  message::completed(extraction);
  // The user must see the message before the tool sits waiting for a key.
  std::fflush(stdout);
  platform::waitForKey(in);
  return 0;
}
