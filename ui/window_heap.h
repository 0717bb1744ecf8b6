#pragma once
// How the window's process takes memory from the C library; the program and the benchmarks
// that stand for it set it up the same way, first thing.

// Blocks of 64 KiB and more (the list's chunks, the capture thread's batches of rows, the
// list header's table of rows) are mapped on their own and given back whole when freed.
// Left to glibc's sliding threshold they come from the heaps instead, and in a long trace
// at full rate, with batches made on the capture thread and freed on the user-interface
// thread, those heaps keep the room of the longest backlog ever met: resident memory
// creeps up for minutes.
void MapLargeBlocksOnTheirOwn();
