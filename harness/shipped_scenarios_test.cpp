// End-to-end runs of the shipped scenarios: physics of the simulated Mac and counts of log lines.
#include <gtest/gtest.h>
