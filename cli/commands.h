// hestle's commands: one invocation from its arguments to its exit status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs hestle with `args` (without the program name). Results go to `out`,
// errors and warnings to `err`. Returns 0 on success, 1 on failure, 2 for an
// unusable command line; `hestle status` returns 3 when hestled is not
// running and 4 when its status is stale (see statusExitCode()). `hestle log
// -f` returns only when writing fails.
int runHestle(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
