#include "capture/remote/remote_adapters.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <future>
#include <sys/wait.h>

#include "capture/remote/child_process.h"
#include "capture/remote/ssh_command.h"

namespace {

// More than any adapter list; the rest of a runaway answer is dropped.
constexpr std::size_t ListOutputLimit = 256 * 1024;
constexpr std::chrono::milliseconds ListExitWait{200};
constexpr std::size_t DescriptionLimit = sizeof(AdapterEntry::description) - 1;

// A cell as the rows write it: \\, \t, \n and \r stand for the characters.
std::string UnescapeCell(std::string_view cell) {
  std::string text;
  for (std::size_t i = 0; i < cell.size(); ++i) {
    if (cell[i] != '\\' || i + 1 == cell.size()) {
      text += cell[i];
      continue;
    }
    switch (cell[++i]) {
      case 't': text += '\t'; break;
      case 'n': text += '\n'; break;
      case 'r': text += '\r'; break;
      default: text += cell[i];
    }
  }
  return text;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> cells;
  for (;;) {
    const std::size_t tab = line.find('\t');
    cells.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return cells;
    line.remove_prefix(tab + 1);
  }
}

bool MacAddressText(std::string_view text) {
  if (text.size() != 17) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (i % 3 == 2 ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

bool LocalKeyName(std::string_view key) {
  return key.size() == 4 && std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

class ListKey : public RegistryView::Key {
 public:
  explicit ListKey(std::vector<std::string> names) : names_(std::move(names)) {}
  bool SubkeyCount(std::uint32_t* count) const override {
    *count = static_cast<std::uint32_t>(names_.size());
    return true;
  }
  bool EnumerateSubkey(std::uint32_t index, char* name, std::uint32_t capacity) const override {
    if (index >= names_.size() || names_[index].size() + 1 > capacity) return false;
    std::memcpy(name, names_[index].c_str(), names_[index].size() + 1);
    return true;
  }
  bool ReadValue(std::string_view, char*, std::uint32_t) const override { return false; }

 private:
  std::vector<std::string> names_;
};

}  // namespace

std::vector<RemoteAdapter> ParseAdapterList(std::string_view text) {
  std::vector<RemoteAdapter> adapters;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string_view> cells = SplitTabs(line);
    if (cells.size() < 3 || !LocalKeyName(cells[1])) continue;
    RemoteAdapter adapter;
    adapter.keyName = std::string(cells[1]);
    adapter.description = UnescapeCell(cells[2]);
    // The description begins with the interface's name, which holds no blank.
    adapter.interfaceName = adapter.description.substr(0, adapter.description.find(' '));
    // Written out again as it is: only what is a MAC address is kept.
    if (cells.size() > 3 && MacAddressText(cells[3])) adapter.mac = std::string(cells[3]);
    if (adapter.interfaceName.empty()) continue;
    adapters.push_back(std::move(adapter));
  }
  return adapters;
}

HostListing ListHostAdapters(const std::string& host, std::chrono::milliseconds timeout) {
  HostListing listing;
  listing.host = host;
  std::string why;
  std::optional<SshCommand> command = RemoteAgentCommand(host, {"-D"}, &why);
  std::unique_ptr<ChildProcess> ssh = command ? ChildProcess::Start(command->program, command->arguments, &why) : nullptr;
  if (!ssh) {
    listing.failure = why;
    return listing;
  }
  std::string output;
  const bool answered = ssh->Collect(timeout, ListOutputLimit, &output);
  const std::optional<int> status = answered ? ssh->Wait(ListExitWait) : std::nullopt;
  const std::string line = ssh->LastErrorLine();
  if (!answered) {
    ssh->Stop();
    listing.failure = "no answer within " + std::to_string(timeout.count() / 1000) + " s" +
                      (line.empty() ? std::string() : " (" + OneLine(line) + ")");
    return listing;
  }
  listing.adapters = ParseAdapterList(output);
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    // ssh's own reason (refused key, unknown host key, no route), or the remote agent's.
    listing.failure = !line.empty() ? OneLine(line)
                                    : "ssh " + (status ? DescribeWaitStatus(*status) : std::string("did not end"));
    listing.adapters.clear();
  } else if (listing.adapters.empty()) {
    listing.failure = line.empty() ? "the host listed no adapters" : OneLine(line);
  }
  return listing;
}

std::optional<std::pair<std::string, std::string>> SplitRemoteKey(std::string_view keyName) {
  const std::size_t slash = keyName.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  return std::pair{std::string(keyName.substr(0, slash)), std::string(keyName.substr(slash + 1))};
}

void RemoteHosts::SetHosts(std::vector<std::string> hosts) {
  std::lock_guard lock(mutex_);
  if (hosts != hosts_) leftOutTold_ = false;
  hosts_ = std::move(hosts);
  std::erase_if(listings_, [this](const HostListing& listing) {
    return std::find(hosts_.begin(), hosts_.end(), listing.host) == hosts_.end();
  });
}

std::vector<std::string> RemoteHosts::Hosts() const {
  std::lock_guard lock(mutex_);
  return hosts_;
}

void RemoteHosts::Store(HostListing listing) {
  std::lock_guard lock(mutex_);
  if (std::find(hosts_.begin(), hosts_.end(), listing.host) == hosts_.end()) return;
  std::erase_if(listings_, [&](const HostListing& kept) { return kept.host == listing.host; });
  listings_.push_back(std::move(listing));
}

std::vector<HostListing> RemoteHosts::ListAll(std::chrono::milliseconds timeout) {
  std::vector<std::future<HostListing>> pending;
  for (const std::string& host : Hosts())
    pending.push_back(std::async(std::launch::async, [host, timeout] { return ListHostAdapters(host, timeout); }));
  std::vector<HostListing> listings;
  for (auto& future : pending) {
    listings.push_back(future.get());
    Store(listings.back());
  }
  return listings;
}

std::vector<RemoteHosts::Entry> RemoteHosts::Entries(std::uint32_t* leftOut, std::string* firstHostLeftOut) const {
  std::vector<Entry> entries;
  if (auto classKey = local_.OpenKey(NetworkClassKey)) {
    std::uint32_t count = 0;
    if (classKey->SubkeyCount(&count)) {
      char name[sizeof AdapterEntry::keyName];
      char description[sizeof AdapterEntry::description];
      char interfaceName[sizeof AdapterEntry::interfaceName];
      for (std::uint32_t i = 0; i < count && classKey->EnumerateSubkey(i, name, sizeof name); ++i) {
        Entry entry{name, {}, {}};
        auto adapterKey = local_.OpenKey(std::string(NetworkClassKey) + "\\" + name);
        if (adapterKey && adapterKey->ReadValue("DriverDesc", description, sizeof description))
          entry.description.assign(description, strnlen(description, sizeof description));
        if (adapterKey && adapterKey->ReadValue(InterfaceNameValue, interfaceName, sizeof interfaceName))
          entry.interfaceName.assign(interfaceName, strnlen(interfaceName, sizeof interfaceName));
        entries.push_back(std::move(entry));
      }
    }
  }
  std::uint32_t dropped = 0;
  std::lock_guard lock(mutex_);
  for (const std::string& host : hosts_) {
    auto listing = std::find_if(listings_.begin(), listings_.end(), [&](const HostListing& l) { return l.host == host; });
    if (listing == listings_.end()) continue;
    for (const RemoteAdapter& adapter : listing->adapters) {
      Entry entry{host + "/" + adapter.keyName, host + ": " + adapter.description,
                  adapter.interfaceName.empty() ? std::string() : host + "/" + adapter.interfaceName};
      if (entry.keyName.size() + 1 > sizeof AdapterEntry::keyName) continue;
      if (entry.description.size() > DescriptionLimit) entry.description.resize(DescriptionLimit);
      if (entries.size() >= DetailAdapterLimit) {
        if (dropped++ == 0 && firstHostLeftOut) *firstHostLeftOut = host;
        continue;
      }
      entries.push_back(std::move(entry));
    }
  }
  if (leftOut) *leftOut = dropped;
  return entries;
}

std::optional<RemoteAdapter> RemoteHosts::Find(std::string_view keyName) const {
  auto split = SplitRemoteKey(keyName);
  if (!split) return std::nullopt;
  std::lock_guard lock(mutex_);
  for (const HostListing& listing : listings_) {
    if (listing.host != split->first) continue;
    for (const RemoteAdapter& adapter : listing.adapters)
      if (adapter.keyName == split->second) return adapter;
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> RemoteHosts::Failures() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, std::string>> failures;
  for (const std::string& host : hosts_) {
    for (const HostListing& listing : listings_)
      if (listing.host == host && !listing.failure.empty()) failures.emplace_back(host, listing.failure);
  }
  return failures;
}

std::pair<std::uint32_t, std::string> RemoteHosts::LeftOut() const {
  std::pair<std::uint32_t, std::string> result;
  Entries(&result.first, &result.second);
  return result;
}

bool RemoteHosts::TellLeftOut() {
  if (LeftOut().first == 0) return false;
  std::lock_guard lock(mutex_);
  return !std::exchange(leftOutTold_, true);
}

std::unique_ptr<RegistryView::Key> RemoteHosts::OpenKey(std::string_view path) const {
  const std::string_view classPath = NetworkClassKey;
  if (path == classPath) {
    std::vector<std::string> names;
    for (Entry& entry : Entries()) names.push_back(std::move(entry.keyName));
    return std::make_unique<ListKey>(std::move(names));
  }
  // A remote key is answered here; the machine's own keys by the machine's view.
  if (path.size() > classPath.size() + 1 && path.substr(0, classPath.size()) == classPath &&
      path[classPath.size()] == '\\' && SplitRemoteKey(path.substr(classPath.size() + 1))) {
    const std::string_view keyName = path.substr(classPath.size() + 1);
    for (Entry& entry : Entries())
      if (entry.keyName == keyName)
        return std::make_unique<DescriptionKey>(std::move(entry.description), std::move(entry.interfaceName));
    return nullptr;
  }
  return local_.OpenKey(path);
}

std::uint32_t AdapterChoiceLimit(const RegistryView& registry) {
  std::vector<AdapterEntry> entries(DetailAdapterLimit);
  std::uint32_t count = 0;
  EnumerateAdapters(registry, entries.data(), DetailAdapterLimit, &count);
  for (std::uint32_t i = 0; i < count; ++i)
    if (SplitRemoteKey(entries[i].keyName)) return DetailAdapterLimit;
  return StartAdapterLimit;
}
