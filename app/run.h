#ifndef QUILLMERE_APP_RUN_H_
#define QUILLMERE_APP_RUN_H_

#include <cstdio>

// One run of the tool: reads the three positional arguments, extracts or
// merges, prints the completion message and waits for one character on `in`.
// Messages go to standard output. Always returns 0: failures are reported
// only by what was printed.
int run(int argc, const char* const argv[], std::FILE* in);

#endif  // QUILLMERE_APP_RUN_H_
