#include "capture/remote/adapter_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "analysis/mac_text.h"
#include "analysis/row_text.h"
#include "capture/driver/driver_client.h"

namespace {

void PrintLine(std::FILE* err, std::string_view program, const std::string& message) {
  std::fprintf(err, "%.*s: %s\n", static_cast<int>(program.size()), program.data(), TerminalText(message).c_str());
}

// A device's reason after the message, on the same line whatever the reason holds.
std::string WithReason(std::string message, std::string why) {
  if (why.empty()) return message;
  std::replace(why.begin(), why.end(), '\n', ' ');
  std::replace(why.begin(), why.end(), '\r', ' ');
  while (!why.empty() && why.back() == ' ') why.pop_back();
  return message + ": " + why;
}

}  // namespace

bool PrintAdapterList(const RegistryView* registry, const DeviceTable* devices, std::FILE* out, std::FILE* err,
                      std::string_view program, const RemoteHosts* remote) {
  AdapterEntry entries[ProbeAdapterLimit];
  std::uint32_t count = 0;
  if (!registry || !EnumerateAdapters(*registry, entries, ProbeAdapterLimit, &count)) {
    PrintLine(err, program, "No adapters found!");
    return false;
  }
  std::string text;
  std::vector<std::string> problems;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string mac;
    std::string why;
    // Opening a remote adapter would start a capture over ssh for each, one after another.
    const std::optional<RemoteAdapter> listed = remote ? remote->Find(entries[i].keyName) : std::nullopt;
    AdapterPtr adapter =
        devices && !listed ? OpenAdapter(*devices, entries[i].keyName, &why) : AdapterPtr(nullptr, nullptr);
    if (listed) {
      mac = listed->mac;
    } else if (adapter) {
      std::uint8_t address[6] = {};
      std::uint32_t n = 0;
      if (GetAddress(adapter.get(), address, sizeof address, &n)) {
        mac = MacText(address);
      } else {
        problems.push_back(WithReason(std::string("adapter ") + entries[i].keyName + ": GetAddress() failed",
                                      adapter->lastError));
      }
      CloseAdapter(std::move(adapter));
    } else {
      problems.push_back(WithReason(std::string("Adapter ") + entries[i].keyName + " open failed", why));
    }
    text += std::to_string(i);
    text += '\t';
    AppendTsvCell(text, entries[i].keyName);
    text += '\t';
    AppendTsvCell(text, TerminalText(entries[i].description));
    text += '\t';
    text += mac;
    text += '\n';
  }
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    PrintLine(err, program, std::string("cannot write the adapter list: ") + std::strerror(errno));
    return false;
  }
  for (const std::string& problem : problems) PrintLine(err, program, problem);
  return true;
}
