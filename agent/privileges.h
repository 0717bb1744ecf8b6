#pragma once
// Giving up the right to capture once the interface is open.

#include <string>

// Drops every capability for good: the bounding set where the process may (as root),
// then the ambient, permitted, effective and inheritable sets, and sets no_new_privs so
// that no program it could start regains any. False, with the reason, when the sets
// cannot be emptied.
bool DropAllCapabilities(std::string* why);
