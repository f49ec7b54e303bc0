// Swapping two directory entries in one step, which POSIX lacks: each system
// has its own call, and the build picks the file that makes it.
#pragma once

// Exchanges the entries at `from` and `to` (both must exist) atomically:
// 0, or -1 with errno (EINVAL or ENOTSUP where the file system cannot).
int exchangeEntries(const char* from, const char* to);
