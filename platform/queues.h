#pragma once

#include <chrono>
#include <functional>

namespace tavrik::platform {

using Job = std::function<void()>;

// Runs the job later on the main thread; jobs run one at a time in the
// order posted. Callable from any thread.
void postMain(Job job);

// Runs the job on the main thread once `delay` has passed. Main thread
// only.
void postMainAfter(std::chrono::milliseconds delay, Job job);

// Runs the job off the main thread at user-initiated priority.
void postBackground(Job job);

}  // namespace tavrik::platform
