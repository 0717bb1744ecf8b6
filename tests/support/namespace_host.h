#pragma once
// A remote host on this machine, for the tests of remote adapters: a network namespace of
// the test's own, joined to this side by a veth pair with a /30 of 192.0.2.0/24, and an
// sshd in it with a throwaway host key, one authorized key, a port of its own and PATH
// set to the build's agent folder. The test's ssh is a wrapper script (named by
// ORRISVANE_SSH) that uses a generated known_hosts and identity and no file of ~/.ssh.
//
// Needs root (the namespace) and openssh-server; Unavailable() says why not. Everything
// made is taken down by the destructor, also when the test failed half-way: the sshd and
// every process under it (by PID), the namespace and the veth pair, the files.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace test_host {

namespace fs = std::filesystem;

// Runs a shell command line; its exit status and standard output (standard error after it).
inline int Run(const std::string& command, std::string* output = nullptr) {
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    if (output) output->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool WriteText(const fs::path& path, const std::string& text, fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << text)) return false;
  }
  std::error_code ec;
  fs::permissions(path, perms, ec);
  return !ec;
}

// The parent PID of a process, or nothing when it is gone.
inline std::optional<pid_t> ParentOf(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(stat.substr(close + 2));
  char state;
  pid_t parent;
  if (!(rest >> state >> parent)) return std::nullopt;
  return parent;
}

// Every process below root, children before grandchildren.
inline std::vector<pid_t> Descendants(pid_t root) {
  std::vector<pid_t> all;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    all.push_back(static_cast<pid_t>(std::stol(name)));
  }
  std::vector<pid_t> found = {root};
  for (std::size_t i = 0; i < found.size(); ++i)
    for (pid_t pid : all)
      if (ParentOf(pid) == found[i]) found.push_back(pid);
  found.erase(found.begin());
  return found;
}

inline std::string CommandName(pid_t pid) {
  std::string name = ReadText("/proc/" + std::to_string(pid) + "/comm");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

class NamespaceHost {
 public:
  // agentFolder: where the remote shell finds orrisvane-capture.
  explicit NamespaceHost(const std::string& agentFolder) {
    if (::geteuid() != 0) {
      unavailable_ = "needs root to make a network namespace (CI runs as root)";
      return;
    }
    if (::access("/usr/sbin/sshd", X_OK) != 0 || Run("command -v ssh-keygen ssh ip") != 0) {
      unavailable_ = "needs openssh-server, openssh-client and iproute2 (scripts/setup installs them)";
      return;
    }
    static int made = 0;
    const std::string id = std::to_string(::getpid()) + "x" + std::to_string(made++);
    namespace_ = "orrisvane-ssh-" + id;
    hostLink_ = "ovs" + id + "h";
    hostLink_ = hostLink_.substr(hostLink_.size() > 15 ? hostLink_.size() - 15 : 0);
    innerLink_ = hostLink_.substr(0, hostLink_.size() - 1) + "n";
    dir_ = fs::temp_directory_path() / ("orrisvane-ssh-" + id);
    port_ = 20000 + static_cast<int>(::getpid() % 20000);
    if (!ClaimSlot()) return;
    if (!MakeNetwork() || !MakeKeys() || !StartSshd(agentFolder)) return;
    ready_ = true;
  }

  ~NamespaceHost() {
    StopSshd();
    if (!namespace_.empty()) Run("ip netns del " + namespace_ + " 2>/dev/null");
    if (!hostLink_.empty()) Run("ip link del " + hostLink_ + " 2>/dev/null");
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
    if (!slot_.empty()) fs::remove_all(slot_, ec);
  }

  NamespaceHost(const NamespaceHost&) = delete;
  NamespaceHost& operator=(const NamespaceHost&) = delete;

  // Why the host could not be made; empty when it is ready.
  std::string Unavailable() const { return ready_ ? std::string() : unavailable_; }

  // "root@192.0.2.6": the ssh destination.
  std::string Destination() const { return "root@" + innerAddress_; }
  const std::string& Namespace() const { return namespace_; }
  const std::string& InnerLink() const { return innerLink_; }
  // This side's end of the veth pair.
  const std::string& HostLink() const { return hostLink_; }
  const std::string& HostAddress() const { return hostAddress_; }
  const std::string& InnerAddress() const { return innerAddress_; }
  pid_t SshdPid() const { return sshd_; }
  // The wrapper to name in ORRISVANE_SSH: the authorized key and the known host key.
  std::string SshWrapper() const { return (dir_ / "ssh").string(); }
  // The same with a key the host does not know.
  std::string WrongKeyWrapper() const { return (dir_ / "ssh-wrong-key").string(); }
  // The same with an empty known_hosts.
  std::string UnknownHostWrapper() const { return (dir_ / "ssh-unknown-host").string(); }
  // Runs a command line inside the namespace.
  int RunInside(const std::string& command, std::string* output = nullptr) const {
    return Run("ip netns exec " + namespace_ + " " + command, output);
  }

  // Ends the sshd and every session under it (SIGKILL): the connection is lost.
  void KillSshd() { StopSshd(); }

  // The orrisvane-capture processes the host's sessions run now.
  std::vector<pid_t> RemoteAgents() const {
    std::vector<pid_t> agents;
    if (sshd_ <= 0) return agents;
    for (pid_t pid : Descendants(sshd_))
      if (CommandName(pid) == "orrisvane-captu") agents.push_back(pid);  // comm holds 15 characters
    return agents;
  }

 private:
  bool Fail(const std::string& why) {
    unavailable_ = why;
    return false;
  }

  // A /30 of 192.0.2.0/24 that neither this machine's own network (its addresses, its
  // gateway, its neighbours) nor another test of this machine uses now. A folder claims
  // it (mkdir is atomic), naming the claimant so that a claim left by a killed run is
  // taken back. Slots are tried from the top of the range, far from the usual gateway.
  bool ClaimSlot() {
    std::string seen;
    Run("ip -4 -o addr; ip -4 route; ip -4 neigh", &seen);
    const auto inUse = [&seen](int first) {
      for (int host = first; host < first + 4; ++host) {
        const std::string address = "192.0.2." + std::to_string(host);
        for (std::size_t at = seen.find(address); at != std::string::npos; at = seen.find(address, at + 1)) {
          const std::size_t end = at + address.size();
          if (end == seen.size() || !std::isdigit(static_cast<unsigned char>(seen[end]))) return true;
        }
      }
      return false;
    };
    const fs::path base = "/run/lock";
    for (int slot = 62; slot >= 1; --slot) {
      if (inUse(slot * 4)) continue;
      const fs::path path = base / ("orrisvane-ssh-slot-" + std::to_string(slot));
      if (::mkdir(path.c_str(), 0700) != 0) {
        const std::string owner = ReadText(path / "pid");
        if (!owner.empty() && ::kill(static_cast<pid_t>(std::stol(owner)), 0) != 0 && errno == ESRCH) {
          std::error_code ec;
          fs::remove_all(path, ec);
          if (::mkdir(path.c_str(), 0700) != 0) continue;
        } else {
          continue;
        }
      }
      WriteText(path / "pid", std::to_string(::getpid()));
      slot_ = path;
      hostAddress_ = "192.0.2." + std::to_string(slot * 4 + 1);
      innerAddress_ = "192.0.2." + std::to_string(slot * 4 + 2);
      return true;
    }
    return Fail("no /30 of 192.0.2.0/24 is free of this machine's network and of other tests");
  }

  bool MakeNetwork() {
    std::string out;
    const std::string steps = "ip netns add " + namespace_ + " && ip link add " + hostLink_ + " type veth peer name " +
                              innerLink_ + " && ip link set " + innerLink_ + " netns " + namespace_ +
                              " && ip addr add " + hostAddress_ + "/30 dev " + hostLink_ + " && ip link set " +
                              hostLink_ + " up && ip netns exec " + namespace_ + " ip addr add " + innerAddress_ +
                              "/30 dev " + innerLink_ + " && ip netns exec " + namespace_ + " ip link set " +
                              innerLink_ + " up && ip netns exec " + namespace_ + " ip link set lo up";
    if (Run(steps, &out) != 0) return Fail("cannot make the namespace: " + out);
    return true;
  }

  bool MakeKeys() {
    std::error_code ec;
    fs::create_directories(dir_, ec);
    fs::permissions(dir_, fs::perms::owner_all, ec);
    std::string out;
    const std::string d = dir_.string();
    if (Run("ssh-keygen -q -t ed25519 -N '' -C orrisvane-test -f " + d + "/host_key && ssh-keygen -q -t ed25519 -N '' -f " +
                d + "/id && ssh-keygen -q -t ed25519 -N '' -f " + d + "/wrong_id",
            &out) != 0)
      return Fail("ssh-keygen failed: " + out);
    WriteText(dir_ / "authorized_keys", ReadText(dir_ / "id.pub"));
    const std::string hostKey = ReadText(dir_ / "host_key.pub");
    WriteText(dir_ / "known_hosts", "[" + innerAddress_ + "]:" + std::to_string(port_) + " " + hostKey);
    WriteText(dir_ / "empty_known_hosts", "");
    const auto wrapper = [&](const std::string& name, const std::string& identity, const std::string& knownHosts) {
      // -F /dev/null: no ssh_config of the user's; the rest keeps ~/.ssh and any agent out.
      WriteText(dir_ / name,
                "#!/bin/sh\nexec ssh -F /dev/null -p " + std::to_string(port_) + " -i " + d + "/" + identity +
                    " -o IdentitiesOnly=yes -o IdentityAgent=none -o UserKnownHostsFile=" + d + "/" + knownHosts +
                    " -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -o ConnectTimeout=5 "
                    "-o LogLevel=ERROR \"$@\"\n",
                fs::perms::owner_all);
    };
    wrapper("ssh", "id", "known_hosts");
    wrapper("ssh-wrong-key", "wrong_id", "known_hosts");
    wrapper("ssh-unknown-host", "id", "empty_known_hosts");
    return true;
  }

  bool StartSshd(const std::string& agentFolder) {
    const std::string d = dir_.string();
    WriteText(dir_ / "sshd_config",
              "Port " + std::to_string(port_) + "\nListenAddress " + innerAddress_ + "\nHostKey " + d +
                  "/host_key\nAuthorizedKeysFile " + d +
                  "/authorized_keys\nPermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                  "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\nPidFile none\n"
                  "SetEnv PATH=" + agentFolder + ":/usr/sbin:/usr/bin:/sbin:/bin\n");
    // The privilege separation folder sshd insists on (a system's sshd makes it at boot).
    ::mkdir("/run/sshd", 0755);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int log = ::open((d + "/sshd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (log >= 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
      }
      ::execlp("ip", "ip", "netns", "exec", namespace_.c_str(), "/usr/sbin/sshd", "-D", "-e", "-f",
               (d + "/sshd_config").c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid < 0) return Fail("cannot fork for sshd");
    sshd_ = pid;
    // Ready once it answers on its port.
    for (int i = 0; i < 100; ++i) {
      if (Run("ip netns exec " + namespace_ + " ss -Hltn 'sport = :" + std::to_string(port_) + "' | grep -q LISTEN") == 0)
        return true;
      int status = 0;
      if (::waitpid(sshd_, &status, WNOHANG) == sshd_) {
        sshd_ = -1;
        return Fail("sshd ended at start: " + ReadText(dir_ / "sshd.log"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Fail("sshd did not listen within 5 s: " + ReadText(dir_ / "sshd.log"));
  }

  void StopSshd() {
    if (sshd_ <= 0) return;
    // Sessions first, so that none is left without its parent to end it.
    const std::vector<pid_t> below = Descendants(sshd_);
    for (auto it = below.rbegin(); it != below.rend(); ++it) ::kill(*it, SIGKILL);
    ::kill(sshd_, SIGKILL);
    int status = 0;
    while (::waitpid(sshd_, &status, 0) < 0 && errno == EINTR) {
    }
    sshd_ = -1;
  }

  bool ready_ = false;
  std::string unavailable_;
  std::string namespace_, hostLink_, innerLink_, hostAddress_, innerAddress_;
  fs::path dir_, slot_;
  int port_ = 0;
  pid_t sshd_ = -1;
};

}  // namespace test_host
