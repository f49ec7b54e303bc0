// The wait between passes in the run loop: stop requests and power messages
// are served on the daemon's one thread, between passes.
#include "daemon/pass_wait.h"

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

// The run loop's timeout counts awake time only, the monotonic clock counts
// sleep too: a wait that took this much longer than it asked for slept.
constexpr double kSleptMargin = 5.0;
bool slept = false;

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
    const double started = monotonicNow();
    const double left = deadline - started;
    if (left <= 0.0) return;
    // Finished means no source at all, which start-up rules out.
    const CFRunLoopRunResult result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, left, true);
    if (monotonicNow() - started > left + kSleptMargin) {
      // Slept in the wait: a pass is due at once, after the messages already
      // queued (a full wake's), so that it knows which kind of wake it is in.
      slept = true;
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.0, false);
      takeWakePass();  // this is that pass
      return;
    }
    if (result == kCFRunLoopRunFinished) return;
  }
}

bool takeSlept() {
  const bool was = slept;
  slept = false;
  return was;
}
