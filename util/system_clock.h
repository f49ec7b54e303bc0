// The system's own clocks, read directly. The daemon reads time only through
// platform/clock.h, which the simulated Mac replaces with virtual time; these
// are for what must see real time: the real clock behind that seam, the front
// end, and how long a simulated run really took.
#pragma once

// CLOCK_REALTIME: seconds since 1970-01-01 00:00 UTC, with the fraction.
double systemWallSeconds();

// CLOCK_MONOTONIC: seconds from an unspecified start, never set back.
double monotonicSeconds();
