#include "agent/privileges.h"

#include <sys/capability.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

struct CapFree {
  void operator()(cap_t caps) const { cap_free(caps); }
};
using CapSet = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;

bool Fail(std::string* why, const char* what) {
  if (why) *why = std::string(what) + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool DropAllCapabilities(std::string* why) {
  // The bounding set needs CAP_SETPCAP, which a program granted only the capture
  // capabilities lacks (EPERM); no_new_privs then keeps exec from raising anything.
  for (cap_value_t cap = 0; cap < cap_max_bits(); ++cap) {
    if (cap_drop_bound(cap) != 0 && errno != EPERM && errno != EINVAL) return Fail(why, "cannot drop the bounding set");
  }
  if (CAP_AMBIENT_SUPPORTED() && cap_reset_ambient() != 0) return Fail(why, "cannot clear the ambient capabilities");
  CapSet none(cap_init());
  if (!none) return Fail(why, "cannot make an empty capability set");
  if (cap_set_proc(none.get()) != 0) return Fail(why, "cannot give up the capabilities");
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return Fail(why, "cannot set no_new_privs");
  CapSet now(cap_get_proc());
  if (!now) return Fail(why, "cannot read the capabilities back");
  if (cap_compare(now.get(), none.get()) != 0) {
    if (why) *why = "capabilities are still raised after giving them up";
    return false;
  }
  return true;
}
