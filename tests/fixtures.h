// fixtures.h - shared test fixtures: a storage root, a working directory with a settings file, and switching
// off the platform layer's injected faults.
#ifndef REGISTRY_TESTS_FIXTURES_H
#define REGISTRY_TESTS_FIXTURES_H

#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tests/test_util.h"

namespace testutil {

// Injected faults and race hooks are process-wide; none may outlive the test that set it.
inline void clear_platform_faults() {
    for (int op = 0; op < PLAT_OP_COUNT; ++op) {
        plat_fault_inject(static_cast<plat_op>(op), 0);
        plat_hook_inject(static_cast<plat_op>(op), 0, nullptr, nullptr);
        plat_fault_inject_path(static_cast<plat_op>(op), nullptr);
        plat_hook_inject_path(static_cast<plat_op>(op), nullptr, nullptr, nullptr);
    }
}

// Pushes data as a blob through one upload on the current engine; answers
// its digest ("" with the test failed when the engine refuses).
inline std::string store_blob(const std::string &data) {
    char id[37];
    EXPECT_EQ(0, reg_blob_start_upload(id)) << reg_storage_last_error();
    EXPECT_EQ(0, reg_blob_append_chunk(id, data.data(), data.size())) << reg_storage_last_error();
    char stored[72] = "";
    EXPECT_EQ(0, reg_blob_finish_upload(id, sha256_digest(data).c_str(), stored)) << reg_storage_last_error();
    return stored;
}

// The engine started on root_, a root below a temporary directory of the
// test's own; afterwards the engine is stopped and every fault switched off.
// A fixture whose tests start the engine themselves overrides SetUp.
class StorageTest : public ::testing::Test {
protected:
    void SetUp() override { start(); }
    void TearDown() override {
        reg_storage_cleanup();
        clear_platform_faults();
    }

    void start() { ASSERT_EQ(0, reg_storage_init(root_.c_str())) << reg_storage_last_error(); }

    TempDir tmp_;
    std::string root_ = tmp_ / "root";
};

// Each test runs in a fresh working directory of its own, dir, where the
// settings lookups find config.json.
class SettingsDirTest : public ::testing::Test {
protected:
    // Writes config.json with text, or leaves none when text is nullopt.
    void settings(const std::optional<std::string> &text) {
        unlink("config.json");
        if (text) write_all(dir / "config.json", *text);
    }

    TempDir dir;

private:
    ScopedCwd cwd_{dir.path()};
};

} // namespace testutil

#endif
