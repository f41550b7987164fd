// alloc_fault.h - makes every container allocation fail for a while, as it would without memory.
#ifndef REGISTRY_TESTS_ALLOC_FAULT_H
#define REGISTRY_TESTS_ALLOC_FAULT_H

#include "tests/fixtures.h"

namespace testutil {

// While true, every throwing operator new (what the containers use) throws
// std::bad_alloc, as it does without memory; the nothrow forms, whose callers
// check for null themselves, still succeed. Only a program that includes
// this header is built with the replacement operators (tests/CMakeLists.txt
// looks for the include); every other program keeps the ordinary ones. Switch
// it on just around the call under test: the test framework allocates too.
extern bool fail_allocations;

// A storage test that may fail allocations: a test that stops early never
// leaves the failure on.
class AllocFaultTest : public StorageTest {
protected:
    void TearDown() override {
        fail_allocations = false;
        StorageTest::TearDown();
    }
};

} // namespace testutil

#endif
