#pragma once

// The checked build's guard-page heap (GuardHeap.cpp). Linking its object
// into an executable is all it takes: it starts itself with the process.

namespace GuardHeap
{

// The exit code of a process the heap stopped (STATUS_HEAP_CORRUPTION).
constexpr unsigned long kStopExitCode = 0xC0000374;

// True once the process's allocations go through the heap.
bool Active() noexcept;

// True while some thread is inside the heap with its lock held.
bool Locked() noexcept;

} // namespace GuardHeap
