#include <cstdio>
#include <string>
#include <vector>

#include "app/run.h"

#ifdef _WIN32
#include "platform/win32_path.h"

// The command line in UTF-16, as typed: the ANSI one would spell a folder
// the code page lacks as '?', and could turn a fullwidth quotation mark or
// reverse solidus into one that splits the line differently.
int wmain(int argc, wchar_t* argv[]) {
  std::vector<std::string> texts;
  for (int i = 0; i < argc; ++i)
    texts.push_back(platform::win32::textOf(argv[i]));
  std::vector<const char*> args;
  for (const std::string& text : texts) args.push_back(text.c_str());
  args.push_back(nullptr);
  return run(argc, args.data(), stdin);
}
#else
int main(int argc, char* argv[]) { return run(argc, argv, stdin); }
#endif
