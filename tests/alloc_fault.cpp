// alloc_fault.cpp - operator new and delete over malloc, with a switch that refuses every allocation.
#include "tests/alloc_fault.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace testutil {

bool fail_allocations = false;

} // namespace testutil

namespace {

void *allocate(std::size_t size) noexcept { return std::malloc(size ? size : 1); }

void *allocate_or_throw(std::size_t size) {
    void *p = testutil::fail_allocations ? nullptr : allocate(size);
    if (!p) throw std::bad_alloc();
    return p;
}

} // namespace

// Every form is replaced, so whatever new hands out the matching delete frees.
void *operator new(std::size_t size) { return allocate_or_throw(size); }
void *operator new[](std::size_t size) { return allocate_or_throw(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return allocate(size); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return allocate(size); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
