// alloc_fault.h - makes the engine's name-list allocation fail, as it would without memory.
#ifndef REGISTRY_TESTS_ALLOC_FAULT_H
#define REGISTRY_TESTS_ALLOC_FAULT_H

#include "tests/fixtures.h"

namespace testutil {

// While true, a nothrow new[] of exactly kRepoListMax name slots answers null.
// Only a program that includes this header is built with the replacement
// operator (tests/CMakeLists.txt looks for the include); every other program
// keeps the ordinary one.
extern bool fail_name_list;

// A storage test that may fail the name list: a test that stops early never
// leaves the failure on.
class NameListFaultTest : public StorageTest {
protected:
    void TearDown() override {
        fail_name_list = false;
        StorageTest::TearDown();
    }
};

} // namespace testutil

#endif
