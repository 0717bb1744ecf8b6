#include "ui/window_heap.h"

#include <malloc.h>

void MapLargeBlocksOnTheirOwn() { mallopt(M_MMAP_THRESHOLD, 64 << 10); }
