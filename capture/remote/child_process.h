#pragma once
// A helper program run with its standard output and standard error on pipes to this
// process and its standard input on /dev/null, or on a socket that this process writes to
// (Send). It gets no other descriptor of ours, and
// it is sent SIGTERM when the thread that started it ends (so also when this process
// crashes or is killed), unless the program's own file capabilities clear that setting
// at exec; the closing of its output then ends it as well.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ChildProcess {
  struct Started {};  // only Start makes one

 public:
  ChildProcess(Started, pid_t pid, int input, int output, int errors)
      : pid_(pid), input_(input), output_(output), errors_(errors) {}

  enum class Input { Null, Writable };
  // Starts program with the arguments (argv[1] on). Null when it cannot be started, with
  // the reason in *why.
  static std::unique_ptr<ChildProcess> Start(const std::string& program, const std::vector<std::string>& arguments,
                                             std::string* why, Input input = Input::Null);

  // Ends the program as Stop does.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // The read ends of its standard output and standard error, non-blocking; -1 once closed.
  int Output() const { return output_; }
  int Errors() const { return errors_; }

  // Writes all of bytes to its standard input (started with Input::Writable), blocking
  // while the program does not read. False when the program has closed it or gone (no
  // SIGPIPE is raised) or there is no such input.
  bool Send(std::string_view bytes);
  // Closes its standard input: the program reads its end.
  void CloseInput();

  // Reads what has arrived on its standard error, keeping the last ErrorTextLimit bytes.
  // False once the pipe is at its end (the descriptor is then closed).
  bool TakeErrors();
  const std::string& ErrorText() const { return errorText_; }
  // The last line of standard error that holds more than white space, without its end.
  std::string LastErrorLine() const;

  // Reads its standard output into *output (at most outputLimit bytes; the rest is read and
  // dropped) and its standard error as TakeErrors does, until both pipes are at their end
  // or timeout has passed. False when the time ran out first. For short answers (a probe,
  // an adapter list), not for a stream.
  bool Collect(std::chrono::milliseconds timeout, std::size_t outputLimit, std::string* output);

  // Waits up to timeout for the program to end by itself and reaps it. Its wait status,
  // or nothing when it is still running.
  std::optional<int> Wait(std::chrono::milliseconds timeout);

  // Closes the pipes, sends SIGTERM and reaps the program, with SIGKILL when it has not
  // ended after StopGrace. Blocks at most about twice StopGrace; a program that has not
  // gone even then is reaped in the background.
  void Stop();

  static constexpr std::size_t ErrorTextLimit = 4096;
  static constexpr std::chrono::milliseconds StopGrace{50};

 private:
  void ClosePipes();

  pid_t pid_;
  int input_;
  int output_;
  int errors_;
  std::optional<int> status_;  // set once reaped
  std::string errorText_;
};

// "exited with status 1", "was ended by signal 9 (SIGKILL)": what a wait status says.
std::string DescribeWaitStatus(int status);
