#include "capture/remote/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The pipe's buffer on our side: room for a burst of frames without the writer waiting.
constexpr int OutputPipeBytes = 1 << 20;

void CloseQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A descriptor moved to 3 or above, so that placing the child's 0, 1 and 2 cannot
// overwrite it (a process started with a standard descriptor closed hands out 0 to 2).
int AboveStandard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

// Between fork and exec only async-signal-safe calls: everything is prepared before.
[[noreturn]] void RunChild(pid_t parent, int input, int output, int errors, int execStatus, const char* program,
                           char* const* argv, long highestFd) {
  // Ends the child with the thread that started it. If that thread was gone before the
  // setting took effect, nothing would ever send the signal: leave at once.
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(127);
  if (::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(errors, 2) < 0) ::_exit(127);
  if (::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
    for (long fd = 3; fd <= highestFd; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  }
  // Signals ignored here would stay ignored in the program; caught ones reset at exec.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaults, nullptr);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execv(program, argv);
  const int error = errno;
  [[maybe_unused]] auto written = ::write(execStatus, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                                                  std::string* why, Input inputKind) {
  const auto Failed = [&](const std::string& step) {
    if (why) *why = "cannot start " + program + ": " + step + ": " + std::strerror(errno);
    return nullptr;
  };
  std::vector<std::string> words;
  words.reserve(arguments.size() + 1);
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int out[2] = {-1, -1}, err[2] = {-1, -1}, status[2] = {-1, -1};
  int input = -1, sendEnd = -1;
  const auto CloseAll = [&] {
    for (int* fd : {&out[0], &out[1], &err[0], &err[1], &status[0], &status[1], &input, &sendEnd}) CloseQuietly(*fd);
  };
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(status, O_CLOEXEC) != 0) {
    auto result = Failed("no pipe");
    CloseAll();
    return result;
  }
  if (inputKind == Input::Writable) {
    // A socket rather than a pipe: a send to a program that has gone fails with EPIPE
    // instead of raising SIGPIPE in this process.
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      auto result = Failed("no socket for its input");
      CloseAll();
      return result;
    }
    ::shutdown(pair[0], SHUT_WR);
    ::shutdown(pair[1], SHUT_RD);
    input = pair[0];
    sendEnd = pair[1];
  } else {
    input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  for (int* fd : {&out[1], &err[1], &status[1], &input}) *fd = AboveStandard(*fd);
  if (input < 0 || out[1] < 0 || err[1] < 0 || status[1] < 0) {
    auto result = Failed("no descriptor");
    CloseAll();
    return result;
  }
  // A larger pipe lets the program write a burst without waiting for us (best effort).
  ::fcntl(out[0], F_SETPIPE_SZ, OutputPipeBytes);
  const long highestFd = ::sysconf(_SC_OPEN_MAX);

  // No handler of ours may run in the child before exec: signals stay blocked across fork.
  sigset_t all, previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) RunChild(parent, input, out[1], err[1], status[1], argv[0], argv.data(), highestFd);
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  CloseQuietly(out[1]);
  CloseQuietly(err[1]);
  CloseQuietly(status[1]);
  CloseQuietly(input);
  if (pid < 0) {
    errno = forkError;
    auto result = Failed("fork");
    CloseAll();
    return result;
  }

  // The status pipe closes at a successful exec; otherwise it brings exec's errno.
  int execError = 0;
  ssize_t n;
  do {
    n = ::read(status[0], &execError, sizeof execError);
  } while (n < 0 && errno == EINTR);
  CloseQuietly(status[0]);
  if (n > 0) {
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    errno = execError;
    if (why) *why = "cannot start " + program + ": " + std::strerror(execError);
    CloseAll();
    return nullptr;
  }
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  ::fcntl(err[0], F_SETFL, O_NONBLOCK);
  return std::make_unique<ChildProcess>(Started{}, pid, sendEnd, out[0], err[0]);
}

ChildProcess::~ChildProcess() { Stop(); }

void ChildProcess::ClosePipes() {
  CloseQuietly(input_);
  CloseQuietly(output_);
  CloseQuietly(errors_);
}

bool ChildProcess::Send(std::string_view bytes) {
  while (!bytes.empty() && input_ >= 0) {
    const ssize_t n = ::send(input_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
    else if (n < 0 && errno == EINTR) continue;
    else return false;
  }
  return bytes.empty();
}

void ChildProcess::CloseInput() { CloseQuietly(input_); }

bool ChildProcess::TakeErrors() {
  if (errors_ < 0) return false;
  char chunk[1024];
  for (;;) {
    const ssize_t n = ::read(errors_, chunk, sizeof chunk);
    if (n > 0) {
      errorText_.append(chunk, static_cast<std::size_t>(n));
      if (errorText_.size() > ErrorTextLimit) errorText_.erase(0, errorText_.size() - ErrorTextLimit);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    CloseQuietly(errors_);  // the end, or an error that ends it as well
    return false;
  }
}

std::string ChildProcess::LastErrorLine() const {
  std::size_t end = errorText_.size();
  while (end > 0) {
    const std::size_t start = errorText_.rfind('\n', end - 1);
    const std::size_t from = start == std::string::npos ? 0 : start + 1;
    std::string line = errorText_.substr(from, end - from);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) return line;
    if (start == std::string::npos) break;
    end = start;
  }
  return {};
}

bool ChildProcess::Collect(std::chrono::milliseconds timeout, std::size_t outputLimit, std::string* output) {
  const auto until = Clock::now() + timeout;
  while (output_ >= 0 || errors_ >= 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    struct pollfd fds[2] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    if (output_ >= 0 && fds[0].revents != 0) {
      char chunk[4096];
      ssize_t n;
      while ((n = ::read(output_, chunk, sizeof chunk)) > 0) {
        if (output && output->size() < outputLimit)
          output->append(chunk, std::min(static_cast<std::size_t>(n), outputLimit - output->size()));
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) CloseQuietly(output_);
    }
    if (errors_ >= 0 && fds[1].revents != 0) TakeErrors();
  }
  return true;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  const auto until = Clock::now() + timeout;
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = status;
      return status_;
    }
    if (done < 0 && errno != EINTR) {
      // Reaped elsewhere (SIGCHLD ignored by the process): gone, status unknown.
      status_ = 0;
      return status_;
    }
    const auto now = Clock::now();
    if (now >= until) return std::nullopt;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, until - now));
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

void ChildProcess::Stop() {
  // Closed first: a program blocked writing to us is woken by the broken pipe.
  ClosePipes();
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGTERM);
  if (Wait(StopGrace)) return;
  ::kill(pid_, SIGKILL);
  if (Wait(StopGrace)) return;
  // Not gone even after SIGKILL (stuck in the kernel): reap it whenever it goes, without
  // holding up the caller.
  std::thread([pid = pid_] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  status_ = 0;
}

std::string DescribeWaitStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const char* name = ::sigabbrev_np(WTERMSIG(status));
    return "was ended by signal " + std::to_string(WTERMSIG(status)) + (name ? std::string(" (SIG") + name + ")" : "");
  }
  return "ended (wait status " + std::to_string(status) + ")";
}
