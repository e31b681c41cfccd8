// Holds a file open the way another program holds the package: a game
// reading it (shared for reading only), or a running merge holding its lock
// (shared with nobody, gone when closed). Windows only.
//
// Usage: hold_file PATH MILLISECONDS|- [lock]
//   "held" is printed once the file is open; it is held for MILLISECONDS,
//   or with "-" until standard input ends.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: hold_file PATH MILLISECONDS|- [lock]\n");
    return 2;
  }
  const bool lock = argc > 3 && std::strcmp(argv[3], "lock") == 0;
  HANDLE file =
      lock ? CreateFileA(argv[1], GENERIC_WRITE | DELETE, 0, nullptr,
                         CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr)
           : CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s: error %lu\n", argv[1],
                 GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  if (std::strcmp(argv[2], "-") == 0) {
    while (std::getchar() != EOF) {
    }
  } else {
    Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  }
  CloseHandle(file);
  return 0;
}
