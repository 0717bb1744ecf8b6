// A helper program started with pipes: what it gets of this process, how it is ended and
// what its end says.

#include "capture/remote/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<ChildProcess> Shell(const std::string& script, std::string* why = nullptr) {
  std::string ignored;
  return ChildProcess::Start("/bin/sh", {"-c", script}, why ? why : &ignored);
}

// Everything the program writes to standard output until it closes it (bounded in time).
std::string OutputOf(ChildProcess& child) {
  std::string text;
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < until) {
    struct pollfd fd {child.Output(), POLLIN, 0};
    ::poll(&fd, 1, 100);
    char chunk[256];
    const ssize_t n = ::read(child.Output(), chunk, sizeof chunk);
    if (n == 0) break;
    if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

bool Gone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

TEST(ChildProcessTest, GetsNullInputAndNoneOfOurDescriptors) {
  const int ours = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(ours, 3);
  auto child = Shell("readlink /proc/$$/fd/0; test -e /proc/$$/fd/" + std::to_string(ours) +
                     " && echo inherited || echo not-inherited");
  ::close(ours);
  ASSERT_TRUE(child);
  EXPECT_EQ(OutputOf(*child), "/dev/null\nnot-inherited\n");
  auto status = child->Wait(std::chrono::seconds(5));
  ASSERT_TRUE(status);
  EXPECT_EQ(DescribeWaitStatus(*status), "exited with status 0");
}

TEST(ChildProcessTest, AProgramThatCannotStartIsRefusedWithTheReason) {
  std::string why;
  EXPECT_FALSE(ChildProcess::Start("/nonexistent/orrisvane-capture", {}, &why));
  EXPECT_EQ(why, "cannot start /nonexistent/orrisvane-capture: No such file or directory");
  const std::string plain = (std::filesystem::temp_directory_path() / ("orrisvane-plain-" + std::to_string(::getpid()))).string();
  ::close(::open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  EXPECT_FALSE(ChildProcess::Start(plain, {}, &why));  // not executable
  EXPECT_EQ(why, "cannot start " + plain + ": Permission denied");
  std::filesystem::remove(plain);
}

TEST(ChildProcessTest, ItsEndGivesTheStatusAndTheLastLineOfItsErrors) {
  auto child = Shell(R"(printf 'a warning\n' >&2; printf 'orrisvane-capture: eth7: No such device exists\n  \n' >&2; exit 3)");
  ASSERT_TRUE(child);
  EXPECT_EQ(OutputOf(*child), "");
  auto status = child->Wait(std::chrono::seconds(5));
  ASSERT_TRUE(status);
  EXPECT_EQ(DescribeWaitStatus(*status), "exited with status 3");
  EXPECT_FALSE(child->TakeErrors());  // at its end: all of it taken, the pipe closed
  EXPECT_EQ(child->LastErrorLine(), "orrisvane-capture: eth7: No such device exists");

  auto killed = Shell("exec sleep 30");
  ASSERT_TRUE(killed);
  EXPECT_FALSE(killed->Wait(std::chrono::milliseconds(20)));  // still running
  ::kill(killed->Pid(), SIGKILL);
  status = killed->Wait(std::chrono::seconds(5));
  ASSERT_TRUE(status);
  EXPECT_EQ(DescribeWaitStatus(*status), "was ended by signal 9 (SIGKILL)");
}

TEST(ChildProcessTest, StopEndsAndReapsEvenAProgramThatIgnoresSigterm) {
  // An ignored signal stays ignored across exec: sleep ignores SIGTERM too.
  auto child = Shell("trap '' TERM; echo ready; exec sleep 30");
  ASSERT_TRUE(child);
  char ready[6] = {};
  struct pollfd fd {child->Output(), POLLIN, 0};
  ASSERT_EQ(::poll(&fd, 1, 5000), 1);
  ASSERT_EQ(::read(child->Output(), ready, sizeof ready), 6);
  const pid_t pid = child->Pid();
  const auto start = Clock::now();
  child->Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(Gone(pid));
  EXPECT_EQ(child->Output(), -1);
}

TEST(ChildProcessTest, TheProgramEndsWithTheThreadThatStartedIt) {
  // As when the window or the dump crash: the starting thread is gone, the program gets
  // SIGTERM from the kernel.
  std::unique_ptr<ChildProcess> child;
  std::thread([&] { child = Shell("exec sleep 30"); }).join();
  ASSERT_TRUE(child);
  auto status = child->Wait(std::chrono::seconds(5));
  ASSERT_TRUE(status);
  EXPECT_EQ(DescribeWaitStatus(*status), "was ended by signal 15 (SIGTERM)");
}

}  // namespace
