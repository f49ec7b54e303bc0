// renamex_np(2) with RENAME_SWAP, as macOS has it.
#include "platform/exchange_entries.h"

#include <cstdio>

int exchangeEntries(const char* from, const char* to) { return renamex_np(from, to, RENAME_SWAP); }
