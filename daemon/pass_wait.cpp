// The wait between passes in the run loop: stop requests and power messages
// are served on the daemon's one thread, between passes.
#include "daemon/pass_wait.h"

#include <algorithm>

#include <CoreFoundation/CoreFoundation.h>

#include "daemon/shutdown.h"
#include "daemon/system_power.h"
#include "platform/clock.h"

namespace {

CFFileDescriptorRef stopWatch = nullptr;
CFRunLoopSourceRef stopSource = nullptr;

// The stop flag is already set when the pipe turns readable: the wait only
// has to return, which the run loop does after this source. The byte stays
// for clearStopRequest().
void onStopPipe(CFFileDescriptorRef, CFOptionFlags, void*) {}

// While a sleep is under way the wait goes on in steps of this length.
constexpr double kSleepStep = 60.0;

}  // namespace

bool watchStopPipe(int stopFd) {
  stopWatch = CFFileDescriptorCreate(kCFAllocatorDefault, stopFd, false, onStopPipe, nullptr);
  if (stopWatch == nullptr) return false;
  stopSource = CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, stopWatch, 0);
  if (stopSource == nullptr) {
    unwatchStopPipe();
    return false;
  }
  CFFileDescriptorEnableCallBacks(stopWatch, kCFFileDescriptorReadCallBack);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), stopSource, kCFRunLoopDefaultMode);
  return true;
}

void unwatchStopPipe() {
  if (stopSource != nullptr) {
    CFRunLoopRemoveSource(CFRunLoopGetCurrent(), stopSource, kCFRunLoopDefaultMode);
    CFRelease(stopSource);
    stopSource = nullptr;
  }
  if (stopWatch != nullptr) {
    CFFileDescriptorInvalidate(stopWatch);
    CFRelease(stopWatch);
    stopWatch = nullptr;
  }
}

void waitForNextPass(double seconds) {
  const double deadline = monotonicNow() + seconds;
  while (!stopRequested() && !takeWakePass()) {
    double left = deadline - monotonicNow();
    if (sleepUnderway()) left = std::max(left, kSleepStep);
    if (left <= 0.0) return;
    // Finished means no source at all, which start-up rules out.
    if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, left, true) == kCFRunLoopRunFinished) return;
  }
}
