#include "support/child.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "support/temp_dir.h"

// Present only in a coverage build, where it writes the counts out.
extern "C" void __gcov_dump(void) __attribute__((weak));

namespace {

// The user the child started as, to be again before it writes its counts.
uid_t startUser = 0;

// A child ends with _exit, so that none of the test's exit handlers run
// twice; its output and, in a coverage build, its counts would be lost
// with it. The counts are written as the user the test runs as and past any
// file size limit, or they would be cut short.
[[noreturn]] void endChild(int status) {
  std::fflush(stdout);
  if (__gcov_dump != nullptr) {
    if (geteuid() != startUser && seteuid(startUser) != 0) _exit(status);
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    __gcov_dump();
  }
  _exit(status);
}

// Writes to `fd` until the pipe takes no more; returns how many bytes.
std::size_t fillPipe(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const std::string chunk(4096, 'P');
  std::size_t filled = 0;
  for (ssize_t n; (n = write(fd, chunk.data(), chunk.size())) > 0;) {
    filled += static_cast<std::size_t>(n);
  }
  fcntl(fd, F_SETFL, flags);
  return filled;
}

// Waits until process `child` sits in a write to its standard output.
bool waitUntilWritingToStdout(pid_t child) {
  const std::string path = "/proc/" + std::to_string(child) + "/syscall";
  for (int tries = 0; tries < 60000; ++tries) {
    std::string state;
    if (readFile(path, &state)) {
      long number = -1;
      unsigned long fd = 0;
      if (std::sscanf(state.c_str(), "%ld %lx", &number, &fd) == 2 &&
          number == SYS_write && fd == 1) {
        return true;
      }
    }
    usleep(1000);
  }
  return false;
}

}  // namespace

ChildResult runInChild(const std::function<void()>& body,
                       const ChildOptions& options) {
  ChildResult result;
  int ends[2];
  if (pipe(ends) != 0) return result;
  const std::size_t filled = options.atFirstWrite ? fillPipe(ends[1]) : 0;
  // Nothing the test printed so far may come out of the child a second time.
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);  // a child that hangs is killed
    close(ends[0]);
    if (dup2(ends[1], STDOUT_FILENO) < 0) endChild(2);
    close(ends[1]);
    if (options.atFirstWrite) std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (options.fileSizeLimit >= 0) {
      // A write past the limit then fails instead of killing the child.
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit;
      if (getrlimit(RLIMIT_FSIZE, &limit) != 0) endChild(3);
      limit.rlim_cur = static_cast<rlim_t>(options.fileSizeLimit);
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) endChild(3);
    }
    // Real and effective ids both, as a user who logged in has; only the
    // saved one stays, which the tool never uses.
    startUser = geteuid();
    if (options.user != -1) {
      const uid_t user = uid_t(options.user);
      const gid_t group = gid_t(options.user);
      if (setgroups(0, nullptr) != 0 ||
          setresgid(group, group, getegid()) != 0 ||
          setresuid(user, user, startUser) != 0) {
        endChild(4);
      }
    }
    body();
    endChild(0);
  }
  close(ends[1]);
  if (child < 0) {
    close(ends[0]);
    return result;
  }
  if (options.atFirstWrite && waitUntilWritingToStdout(child)) {
    options.atFirstWrite();
  }
  char buffer[4096];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) {
    result.out.append(buffer, static_cast<std::size_t>(n));
  }
  close(ends[0]);
  int status = -1;
  waitpid(child, &status, 0);
  result.endedNormally = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  // The filler is the harness's own, not the child's.
  if (result.out.compare(0, filled, std::string(filled, 'P')) != 0) {
    result.endedNormally = false;
  }
  result.out.erase(0, filled);
  return result;
}
