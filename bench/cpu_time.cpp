// Runs a command and prints the processor time it used (user + system, with every thread
// and every child it waited for) on stderr as "cpu_us <microseconds>". SIGINT and SIGTERM
// are passed on to the command, so a capture run under it is stopped the usual way.
//
// Usage: cpu-time COMMAND [ARGS...]   (exit status: the command's)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {
volatile sig_atomic_t child = 0;
extern "C" void PassOn(int signal) {
  if (child > 0) ::kill(child, signal);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cpu-time COMMAND [ARGS...]\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = PassOn;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return 127;
  if (pid == 0) {
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    _exit(127);
  }
  child = pid;
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 127;
  }
  const long long us = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
                       usage.ru_stime.tv_usec;
  std::fprintf(stderr, "cpu_us %lld\n", us);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
