// The virtual clock of the simulated Mac (first cut: links, does little).
#include "platform/clock.h"
#include "sim/simulated_mac.h"

namespace simmac {
static double virtualNow = 1796417610.0;
double now() { return virtualNow; }
void advance(double seconds) { virtualNow += seconds; }
void setRealTimeSpeed(double) {}
void setWaitHook(std::function<void(double)>) {}
void schedule(double, std::function<void()>) {}
void clearSchedule() {}
}  // namespace simmac

double wallClockNow() { return simmac::now(); }
bool waitForWake(int, double seconds) {
  simmac::advance(seconds);
  return false;
}
