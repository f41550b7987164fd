// alloc_fault.cpp - the nothrow new[] that can refuse the engine's name list.
#include "tests/alloc_fault.h"

#include <cstddef>
#include <new>

#include "storage/storage_internal.h"

namespace testutil {

bool fail_name_list = false;

} // namespace testutil

// The engine allocates its name list of kRepoListMax slots with nothrow new[];
// failing exactly that allocation shows what a call does without memory.
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    if (testutil::fail_name_list && size == kRepoListMax * sizeof(char *)) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
