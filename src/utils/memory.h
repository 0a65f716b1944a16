// The heap, as the system sees it.
#pragma once

namespace quillo::utils {

// Hands the heap's free pages back to the system. glibc's allocator keeps
// what was freed for the next request; after a burst of load that is
// megabytes that a phone could use for something else. Where the C library
// offers no way (musl, bionic), it does nothing.
void release_free_memory();

} // namespace quillo::utils
