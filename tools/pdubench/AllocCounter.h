// Counts the C++ allocations of the process (every operator new), so that
// the benchmark can show which paths allocate. The library allocates only
// through new; the C runtime's own buffers are not counted, nor are the
// allocations of the benchmark's own VCI thread (DoNotCountThisThread).
#pragma once

#include <cstdint>

namespace pdubench {

uint64_t AllocationCount();
// Leaves the calling thread's allocations out of the count.
void DoNotCountThisThread();

}  // namespace pdubench
