// The random part of a temporary's name: six letters or digits that other
// users cannot predict, without a system call per name.
#pragma once

// Writes six characters of [A-Za-z0-9] to `out` (no terminator). The first
// call seeds the generator from the system's randomness (getentropy); every
// name after that is SipHash-1-3 of a counter under that key. False when
// the system gave no randomness: the caller then names it another way.
bool nextTemporaryName(char* out);
