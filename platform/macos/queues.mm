// The main queue and the shared user-initiated queue of GCD.
#include <dispatch/dispatch.h>

#include <memory>

#include "platform/queues.h"

namespace tavrik::platform {
namespace {

void runJob(void* context) {
  const std::unique_ptr<Job> job(static_cast<Job*>(context));
  (*job)();
}

}  // namespace

void postMain(Job job) {
  dispatch_async_f(dispatch_get_main_queue(), new Job(std::move(job)), runJob);
}

void postMainAfter(std::chrono::milliseconds delay, Job job) {
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(delay.count()) * 1000000),
                   dispatch_get_main_queue(), new Job(std::move(job)), runJob);
}

void postBackground(Job job) {
  dispatch_async_f(dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0), new Job(std::move(job)),
                   runJob);
}

}  // namespace tavrik::platform
