// Runs part of a test in a child process: for a file size limit that plays a
// full disk, another user, or a tool that must be caught in the middle of a
// write. POSIX only.
#ifndef QUILLMERE_TESTS_SUPPORT_CHILD_H_
#define QUILLMERE_TESTS_SUPPORT_CHILD_H_

#include <cstdint>
#include <functional>
#include <string>

struct ChildOptions {
  // Files may not grow beyond this many bytes; a write past it fails with
  // EFBIG, as on a full disk. Negative: no limit.
  std::int64_t fileSizeLimit = -1;
  // The user and group id to run as (the test must be root); -1 stays.
  int user = -1;
  // Called once the child sits in its first write to standard output, which
  // the harness makes wait by filling the pipe beforehand; the child's
  // standard output is unbuffered then, so its first line is that write.
  std::function<void()> atFirstWrite;
};

struct ChildResult {
  std::string out;             // all the child wrote to standard output
  bool endedNormally = false;  // `body` returned: not killed, set up fine
};

ChildResult runInChild(const std::function<void()>& body,
                       const ChildOptions& options = {});

#endif  // QUILLMERE_TESTS_SUPPORT_CHILD_H_
