// What the user sees and the key the tool waits for at the end.
#ifndef QUILLMERE_PLATFORM_CONSOLE_H_
#define QUILLMERE_PLATFORM_CONSOLE_H_

#include <cstdio>
#include <string>

namespace platform {

// Writes the text of a message to standard output. On a Windows console
// every character is shown as it is, whatever code page the console uses;
// redirected, Windows writes the ANSI spelling ('?' for a character the
// code page lacks), and POSIX the bytes as they are.
void writeOutput(const std::string& text);

// Waits for the user to press one key on `in`: any key on a terminal or a
// console, one byte (or the end of input) from a pipe or a file.
void waitForKey(std::FILE* in);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_CONSOLE_H_
