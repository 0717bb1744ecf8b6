#include "capture/remote/ssh_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "capture/remote/agent_program.h"

namespace {

bool Executable(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// A program name without a slash is looked up on PATH, as a shell would.
std::optional<std::string> ResolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return Executable(name) ? std::optional(name) : std::nullopt;
  const char* path = std::getenv("PATH");
  std::string_view folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = folders.find(':');
    std::string candidate(folders.substr(0, colon));
    if (candidate.empty()) candidate.push_back('.');
    candidate.push_back('/');
    candidate.append(name);
    if (Executable(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    folders.remove_prefix(colon + 1);
  }
}

bool ShellSafe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

bool Separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ','; }

}  // namespace

std::string QuoteForShell(std::string_view word) {
  if (!word.empty() && std::all_of(word.begin(), word.end(), ShellSafe)) return std::string(word);
  // Inside single quotes every character stands for itself; a quote of its own is ended,
  // given escaped, and the quoting started again.
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

std::optional<std::string> HostError(std::string_view host) {
  if (host.empty()) return "the remote host is empty";
  // With "/0002" after it, a key name must fit its field.
  if (host.size() > MaxHostLength) return "the remote host \"" + std::string(host.substr(0, 40)) + "...\" is too long";
  if (host.front() == '-') return "the remote host \"" + std::string(host) + "\" begins with '-'";
  for (unsigned char c : host) {
    if (c <= ' ' || c == 0x7f) return "the remote host \"" + std::string(host) + "\" holds white space or a control character";
  }
  return std::nullopt;
}

std::optional<SshCommand> RemoteAgentCommand(const std::string& host, const std::vector<std::string>& agentArguments,
                                             std::string* why) {
  if (std::optional<std::string> error = HostError(host)) {
    if (why) *why = *error;
    return std::nullopt;
  }
  const char* variable = std::getenv(SshProgramVariable);
  const std::string name = variable && *variable ? variable : DefaultSshProgram;
  std::optional<std::string> program = ResolveProgram(name);
  if (!program) {
    if (why)
      *why = variable && *variable
                 ? std::string(SshProgramVariable) + " names " + name + ", which is not an executable program"
                 : "ssh was not found on PATH: install openssh-client, or set " + std::string(SshProgramVariable) +
                       " to the ssh program";
    return std::nullopt;
  }
  // The remote side runs one command line through the user's shell: each word is quoted
  // so that a filter such as "port 80 and (tcp or udp)" arrives as one argument.
  std::string remote = CaptureAgentName;
  for (const std::string& word : agentArguments) {
    remote.push_back(' ');
    remote.append(QuoteForShell(word));
  }
  return SshCommand{*program, {"-T", "-o", "BatchMode=yes", host, remote}};
}

std::vector<std::string> SplitHosts(std::string_view text) {
  std::vector<std::string> hosts;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && Separator(text[i])) ++i;
    std::size_t end = i;
    while (end < text.size() && !Separator(text[end])) ++end;
    if (end > i) {
      std::string host(text.substr(i, end - i));
      if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(std::move(host));
    }
    i = end;
  }
  return hosts;
}

std::string JoinHosts(const std::vector<std::string>& hosts) {
  std::string text;
  for (const std::string& host : hosts) text += (text.empty() ? "" : " ") + host;
  return text;
}
