#pragma once
// Adapters of other machines, reached over ssh (see ssh_command.h). Each host's adapters
// are listed by its own capture agent (orrisvane-capture -D) and kept here; the adapter
// list presents them after the machine's own, keyed "HOST/0002" and described
// "HOST: eth0 (virtio_net)".
//
// Listing talks to the network and may take seconds: it is done by ListHostAdapters on a
// thread of the caller's choosing, and the result is stored here. Everything that only
// reads the list (the window's Start and title, the Adapter page) reads what is stored.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/adapters/adapters.h"

// How long a host may take to list its adapters before it is skipped.
inline constexpr std::chrono::milliseconds HostListTimeout{5000};

struct RemoteAdapter {
  std::string keyName;        // the host's own key name: "0002"
  std::string interfaceName;  // "eth0"
  std::string description;    // as the host describes it: "eth0 (virtio_net)"
  std::string mac;            // as the host's list gives it: "02:FC:00:00:00:01", or empty
};

struct HostListing {
  std::string host;
  std::vector<RemoteAdapter> adapters;
  // Why the host could not be listed (ssh's reason, or the remote agent's); empty when
  // it was.
  std::string failure;
};

// Runs the host's agent with -D over ssh and reads its list. A host that has not answered
// within timeout is given up (its ssh ended) with the reason.
HostListing ListHostAdapters(const std::string& host, std::chrono::milliseconds timeout = HostListTimeout);

// The adapters of an agent's -D output (index, key name, description, MAC address,
// tab-separated, cells escaped as the rows are); lines that are not such are passed over.
std::vector<RemoteAdapter> ParseAdapterList(std::string_view text);

// "HOST/0002" split into host and key name; nothing for a key without a host.
std::optional<std::pair<std::string, std::string>> SplitRemoteKey(std::string_view keyName);

// The machine's own adapters (the registry view handed in), then the stored adapters of
// each host in the order the hosts were set, at most DetailAdapterLimit in all.
class RemoteHosts : public RegistryView {
 public:
  explicit RemoteHosts(const RegistryView& local) : local_(local) {}

  // The hosts, in order; listings of hosts no longer among them are dropped.
  void SetHosts(std::vector<std::string> hosts);
  std::vector<std::string> Hosts() const;
  // Whether a capture on a host lists the frames of its own ssh session too (the agent
  // there leaves them out unless told to keep them).
  void SetKeepOwnSession(bool keep) { keepOwnSession_.store(keep); }
  bool KeepOwnSession() const { return keepOwnSession_.load(); }
  // Keeps a host's listing (of a host that is still set), replacing the one before.
  void Store(HostListing listing);
  // Lists every host at once, each on a thread of its own, and stores the results.
  // Returns the listings in host order.
  std::vector<HostListing> ListAll(std::chrono::milliseconds timeout = HostListTimeout);

  // The stored adapter of the key "HOST/0002", or nothing.
  std::optional<RemoteAdapter> Find(std::string_view keyName) const;
  // Each set host whose last listing failed, with the reason, in host order.
  std::vector<std::pair<std::string, std::string>> Failures() const;
  // How many stored remote adapters do not fit in the list, and the first host that
  // lost one (for the message that says so).
  std::pair<std::uint32_t, std::string> LeftOut() const;
  // True the first time it is asked while adapters are left out, for these hosts: the
  // user is told once.
  bool TellLeftOut();

  std::unique_ptr<Key> OpenKey(std::string_view path) const override;

 private:
  struct Entry {
    std::string keyName;
    std::string description;
    std::string interfaceName;  // "HOST/eth0" for a remote adapter; may be empty
  };
  // The list as the class key presents it, and the remote entries it had to leave out.
  std::vector<Entry> Entries(std::uint32_t* leftOut = nullptr, std::string* firstHostLeftOut = nullptr) const;

  const RegistryView& local_;
  mutable std::mutex mutex_;
  std::vector<std::string> hosts_;
  std::vector<HostListing> listings_;  // of hosts in hosts_, any order
  bool leftOutTold_ = false;
  std::atomic<bool> keepOwnSession_{false};
};

// How many entries of the adapter list Start and the settings drop-down offer: the first
// five, as always; when the list holds remote adapters, all fifteen, so that they can be
// chosen.
std::uint32_t AdapterChoiceLimit(const RegistryView& registry);
