#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace platform {

void writeOutput(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

namespace {

// The terminal as the user had it, and as the wait sets it, for the signal
// handler.
int keyTerminal = -1;
struct termios keyTerminalSaved;
struct termios keyTerminalRaw;

// The signals that end or stop the process while it waits: each one puts the
// terminal back first, so a Ctrl+C at the prompt does not leave the shell
// without echo. SIGCONT sets the wait's mode again after a stop.
constexpr int kKeySignals[] = {SIGINT,  SIGTERM, SIGHUP,
                               SIGQUIT, SIGTSTP, SIGCONT};
constexpr std::size_t kKeySignalCount =
    sizeof kKeySignals / sizeof kKeySignals[0];

// False only for a process in the background of the terminal that controls
// it, where the terminal's mode is the shell's to set.
bool inFront(int terminal) {
  const pid_t front = tcgetpgrp(terminal);
  return front == -1 || front == getpgrp();
}

void onKeySignal(int number) {
  const int savedErrno = errno;
  if (number != SIGCONT) {
    tcsetattr(keyTerminal, TCSANOW, &keyTerminalSaved);
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    struct sigaction ours;
    sigaction(number, &byDefault, &ours);
    // Taken as soon as it is unblocked: the process ends or stops by the
    // signal it was sent, as it would have without this handler.
    raise(number);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, number);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    // Only a stop comes back here: continued, or dropped by the system for
    // a process no shell could continue.
    sigaction(number, &ours, nullptr);
  }
  // Waiting in front again: a key without Enter.
  if (inFront(keyTerminal)) tcsetattr(keyTerminal, TCSANOW, &keyTerminalRaw);
  errno = savedErrno;
}

}  // namespace

void waitForKey(std::FILE* in) {
  const int fd = fileno(in);
  // In the background the read is as before: the system stops the process
  // until it is in front.
  if (!isatty(fd) || !inFront(fd) || tcgetattr(fd, &keyTerminalSaved) != 0) {
    std::fgetc(in);
    return;
  }
  keyTerminalRaw = keyTerminalSaved;
  keyTerminalRaw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keyTerminalRaw.c_cc[VMIN] = 1;
  keyTerminalRaw.c_cc[VTIME] = 0;
  keyTerminal = fd;
  // No SA_RESTART: the read is interrupted by a stop and started again here.
  struct sigaction handler = {};
  handler.sa_handler = onKeySignal;
  sigfillset(&handler.sa_mask);
  struct sigaction before[kKeySignalCount];
  for (std::size_t i = 0; i < kKeySignalCount; ++i) {
    // A signal ignored before (nohup) stays ignored.
    sigaction(kKeySignals[i], nullptr, &before[i]);
    if (before[i].sa_handler != SIG_IGN) {
      sigaction(kKeySignals[i], &handler, nullptr);
    }
  }
  // Should the terminal refuse the mode, Enter still ends the wait.
  tcsetattr(fd, TCSANOW, &keyTerminalRaw);
  int key;
  do {
    clearerr(in);
    errno = 0;
    key = std::fgetc(in);
  } while (key == EOF && ferror(in) && errno == EINTR);
  // A signal now would find the terminal put back already, or be handled
  // the way it was before the wait, never between the two.
  sigset_t handled;
  sigemptyset(&handled);
  for (int number : kKeySignals) sigaddset(&handled, number);
  sigset_t mask;
  sigprocmask(SIG_BLOCK, &handled, &mask);
  // Flushed: the rest of what one key sends (an arrow key's escape
  // sequence) must not reach the shell as typed text.
  tcsetattr(fd, TCSAFLUSH, &keyTerminalSaved);
  for (std::size_t i = 0; i < kKeySignalCount; ++i) {
    sigaction(kKeySignals[i], &before[i], nullptr);
  }
  keyTerminal = -1;
  sigprocmask(SIG_SETMASK, &mask, nullptr);
}

}  // namespace platform
