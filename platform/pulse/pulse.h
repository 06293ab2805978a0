// The PulseAudio stand-in for the Windows mixer functions: what it offers beyond those
// functions, for the Linux entry point.
#pragma once

#include <chrono>

namespace pulse {

// Waits until every write on its way or waiting has been answered by the server, the server
// is gone, or the deadline has passed; for a process about to end without the exit-time
// cleanup. Callable from any thread while no mixer call is running.
void LetWritesLand(std::chrono::steady_clock::time_point deadline);

}  // namespace pulse
