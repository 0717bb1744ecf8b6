#include "analysis/process_owner.h"

#include <charconv>
#include <cstring>

std::string OwnerText(std::string_view raw, std::size_t most) {
  std::string text(raw.substr(0, most));
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '.';
  }
  return text;
}

namespace {
char* Put(char* out, std::string_view text) {
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}
}  // namespace

char* PutProcessCell(char* out, const ProcessOwner& owner) {
  if (owner.pid != 0) {
    out = Put(out, std::string_view(owner.name).substr(0, OwnerNameMost));
    out = Put(out, owner.name.empty() ? "(" : " (");
    out = std::to_chars(out, out + 10, owner.pid).ptr;
    return Put(out, ")");
  }
  if (owner.user.empty()) return out;
  out = Put(out, "(user ");
  out = Put(out, std::string_view(owner.user).substr(0, OwnerUserMost));
  return Put(out, ")");
}

std::string OwnerDetails(const ProcessOwner& owner) {
  char cell[OwnerNameMost + OwnerUserMost + 16];
  std::string text(cell, PutProcessCell(cell, owner));
  if (owner.pid == 0) return text;
  if (!owner.user.empty()) text += ", user " + owner.user;
  if (!owner.commandLine.empty()) text += ": " + owner.commandLine;
  return text;
}
