// What the Linux stand-in's kernel services share with the rest of it.
#pragma once

#include <cstdint>

// Milliseconds on the monotonic clock, which no change of the date moves.
uint64_t MonotonicMs();
