// Counts the C++ allocations of the whole process (every operator new),
// so that the benchmark can show which paths allocate. The library
// allocates only through new; the C runtime's own buffers are not counted.
#pragma once

#include <cstdint>

namespace pdubench {

uint64_t AllocationCount();

}  // namespace pdubench
