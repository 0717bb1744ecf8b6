#pragma once
// Whole reads and writes on a descriptor, for the agent's stream and its helper's socket.

#include <atomic>
#include <cstddef>

// Writes the whole buffer. False once the output is gone: the reader closed it (EPIPE),
// another write error, or a stop request (when given) interrupted a write that was blocked.
bool WriteAll(int fd, const void* data, std::size_t size, const std::atomic<bool>* stop = nullptr);
// Reads exactly size bytes. False at the end of the input or on an error.
bool ReadAll(int fd, void* data, std::size_t size);
