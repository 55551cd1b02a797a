// Counts heap allocations made by the program's own code (operator new and
// direct malloc calls), so tests can prove that a stretch allocates nothing.
#pragma once

namespace alloc_counter {

void Start();    // zero the count and begin counting
long Stop();     // stop counting; the count since Start
void Suspend();  // nested: the fake's own bookkeeping is not counted
void Resume();
// Every counted allocation since the process began, started or not.
long Seen();

}  // namespace alloc_counter
