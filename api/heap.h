// Heap for the library's own buffers (hand-off path, notification tokens).
// Kept apart from the platform interface so that the notification parser
// needs nothing but this. The host test build links a version that can be
// told to fail.
#pragma once

#include <cstddef>

// Returns a block of at least size bytes, or nullptr when none can be had.
void* heapTake(std::size_t size);
// Releases a block from heapTake; nullptr is ignored.
void heapRelease(void* block);
