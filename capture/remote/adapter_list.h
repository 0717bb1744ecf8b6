#pragma once
// The adapter list as the programs print it (-D): one line per adapter, tab-separated:
// index, key name, description and MAC address.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "capture/adapters/adapters.h"
#include "capture/driver/packet_device.h"
#include "capture/remote/remote_adapters.h"

// Writes the list to out; then, on err, a line "program: ..." for each adapter that would
// not open or give its address (its MAC stays empty in the list). A remote host's adapter
// (one that remote lists) is not opened: its address is the one its host listed. Text
// from outside is written as TerminalText. False, said on err, when no adapter is found or
// out cannot be written.
bool PrintAdapterList(const RegistryView* registry, const DeviceTable* devices, std::FILE* out, std::FILE* err,
                      std::string_view program, const RemoteHosts* remote = nullptr);
