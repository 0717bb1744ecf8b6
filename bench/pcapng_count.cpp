// Reads a pcapng stream on standard input (as the capture agent writes it) and prints, at
// its end, how many frames it held and the kernel's counts of its last statistics block:
// "frames N received R dropped D" (R and D are -1 when it held no statistics).
// Usage: orrisvane-capture -i lo ... | pcapng-count

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t Le64(const std::uint8_t* p) { return Le32(p) | std::uint64_t{Le32(p + 4)} << 32; }

}  // namespace

int main() {
  std::vector<std::uint8_t> data;
  std::size_t start = 0;  // first byte of the next block
  long long frames = 0, received = -1, dropped = -1;
  std::uint8_t chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(0, chunk, sizeof chunk);
    if (n <= 0) break;
    data.insert(data.end(), chunk, chunk + n);
    while (data.size() - start >= 8) {
      const std::uint32_t type = Le32(&data[start]), length = Le32(&data[start + 4]);
      if (length < 12 || length % 4 != 0) {
        std::fprintf(stderr, "pcapng-count: a block of length %u\n", length);
        return 1;
      }
      if (data.size() - start < length) break;
      if (type == 6) ++frames;
      // Statistics: interface, timestamp, then isb_ifrecv and isb_ifdrop (the agent's order).
      if (type == 5 && length >= 52) {
        received = static_cast<long long>(Le64(&data[start + 24]));
        dropped = static_cast<long long>(Le64(&data[start + 36]));
      }
      start += length;
    }
    if (start > (1 << 20)) {
      data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(start));
      start = 0;
    }
  }
  std::printf("frames %lld received %lld dropped %lld\n", frames, received, dropped);
  return 0;
}
