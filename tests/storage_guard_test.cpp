// Tests for the engine's C boundary: an exception thrown anywhere below a
// public operation ends as that operation's failure with a kind, never as a
// crash of the calling program, and its text carries no server path.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

using testutil::sha256_digest;

constexpr char kImageType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr char kSecretPath[] = "/srv/private/store";

// The file operations a public operation may reach first.
const plat_op kHooked[] = {PLAT_OP_DIR_OPEN,    PLAT_OP_OPEN_READ, PLAT_OP_OPEN_EXISTING, PLAT_OP_CREATE_EXCL,
                           PLAT_OP_CREATE_TEMP, PLAT_OP_RENAME,    PLAT_OP_MKDIR,         PLAT_OP_OPEN_APPEND,
                           PLAT_OP_RANDOM,      PLAT_OP_UNLINK};

int s_thrown = 0;

void throw_from_below(void *) {
    ++s_thrown;
    throw std::runtime_error(std::string("cannot go on at ") + kSecretPath);
}

class BoundaryGuard : public testutil::StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        std::string config = "{}";
        char id[37];
        ASSERT_EQ(0, reg_blob_start_upload(id));
        ASSERT_EQ(0, reg_blob_append_chunk(id, config.data(), config.size()));
        char stored[72];
        ASSERT_EQ(0, reg_blob_finish_upload(id, sha256_digest(config).c_str(), stored));
        config_ = stored;
        std::string image =
            "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config_ + "\",\"size\":2},\"layers\":[]}";
        char digest[72];
        ASSERT_EQ(0, reg_manifest_put("lib/app", "v1", image.data(), image.size(), kImageType, digest));
        image_ = digest;
    }

    static void arm() {
        s_thrown = 0;
        for (plat_op op : kHooked)
            plat_hook_inject(op, 1, throw_from_below, nullptr);
    }

    std::string config_, image_;
};

TEST_F(BoundaryGuard, AnExceptionBelowAnOperationIsItsFailure) {
    char out[512];
    char type[128], digest[72];
    char id[37];
    // Each answers whether the call gave its failure value.
    const std::vector<std::pair<const char *, std::function<bool()>>> rows = {
        {"check", [] { return reg_check_json(0, nullptr, nullptr) == nullptr; }},
        {"referrers", [&] { return reg_referrers_json("lib/app", image_.c_str(), nullptr) == nullptr; }},
        {"named by", [&] { return reg_blob_named_by(config_.c_str(), out, sizeof out) == -1; }},
        {"usage", [] { return reg_usage_json(0) == nullptr; }},
        {"catalog", [] { return reg_catalog_json(0, nullptr) == nullptr; }},
        {"manifest get", [&] { return reg_manifest_get("lib/app", "v1", type, digest) == nullptr; }},
        {"upload start", [&] { return reg_upload_start("lib/app", id) == -1; }},
        {"blob upload start", [&] { return reg_blob_start_upload(id) == -1; }},
        {"tag delete", [] { return reg_tag_delete("lib/app", "v1") == -1; }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.first);
        reg_storage_clear_error();
        arm();
        bool failed = row.second();
        testutil::clear_platform_faults();
        ASSERT_EQ(1, s_thrown) << "no hooked operation reached";
        EXPECT_TRUE(failed);
        EXPECT_EQ(REG_ERR_IO, reg_storage_last_error_kind());
        EXPECT_STREQ("internal error", reg_storage_last_error());
    }
}

} // namespace
