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
  // Any word but "extract" means merge, misspellings included; a word that
  // is not "merge" either is most often a slip, so it is named first.
  const std::string mode = platform::modeSpelling(argv[3]);
  bool extraction = equalsIgnoringAsciiCase(mode.c_str(), "extract");
  if (!extraction && !equalsIgnoringAsciiCase(mode.c_str(), "merge")) {
    message::unknownMode(argv[3]);
  }

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
