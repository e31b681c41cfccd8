// What the user sees and the key the tool waits for at the end.
#ifndef QUILLMERE_PLATFORM_CONSOLE_H_
#define QUILLMERE_PLATFORM_CONSOLE_H_

#include <cstdio>
#include <string>

namespace platform {

// Writes the text of a message to standard output. On a Windows console the
// ANSI text is shown as the characters it stands for, whatever code page
// the console itself uses; anywhere else the bytes go out as they are.
void writeOutput(const std::string& text);

// Waits for the user to press one key on `in`: any key on a terminal or a
// console, one byte (or the end of input) from a pipe or a file.
void waitForKey(std::FILE* in);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_CONSOLE_H_
