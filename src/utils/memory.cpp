#include "utils/memory.h"

#include <cstdlib> // defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillo::utils {

void release_free_memory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

} // namespace quillo::utils
