#pragma once

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace FreedMemory {

// What large trees let go leave in the heaps of the threads that built
// them goes back to the system: threads allocate from heaps of their own,
// so a later step on other threads would not reuse it, and that step's
// peak would carry it.
inline void giveBack()
{
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

} // namespace FreedMemory
