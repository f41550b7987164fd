// quota_test.cpp - the storage quota check: the boundary, the message, failing open, and byte formatting.
#include <stdint.h>

#include <gtest/gtest.h>

#include <string>

#include "front/oci_common.h"
#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

std::string fmt(int64_t count) {
    char buffer[OCI_FMT_BYTES_SIZE];
    oci_fmt_bytes(count, buffer);
    return buffer;
}

TEST(FmtBytes, ThresholdsInPowersOf1024) {
    const int64_t kTiB = 1099511627776;
    struct {
        int64_t count;
        const char *text;
    } rows[] = {
        {0, "0 B"},
        {-5, "-5 B"},
        {INT64_MIN, "-9223372036854775808 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"}, // still below the MB threshold
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {1073741824, "1.0 GB"},
        {5 * kTiB, "5120.0 GB"}, // nothing above GB
        {INT64_MAX, "8589934592.0 GB"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.count);
        EXPECT_EQ(fmt(row.count), row.text);
    }
}

// An engine on a root holding `stored` bytes of blobs, one upload of
// `upload` bytes, and a settings file with the quota.
class QuotaCheck : public testutil::SettingsDirTest {
protected:
    void TearDown() override {
        reg_storage_cleanup();
        testutil::clear_platform_faults();
    }

    void start() { ASSERT_EQ(0, reg_storage_init((dir / "root").c_str())) << reg_storage_last_error(); }

    void store_blob(const std::string &content) {
        char id[37], digest[72];
        ASSERT_EQ(0, reg_blob_start_upload(id));
        ASSERT_EQ(0, reg_blob_append_chunk(id, content.data(), content.size()));
        ASSERT_EQ(0, reg_blob_finish_upload(id, testutil::sha256_digest(content).c_str(), digest));
    }

    std::string open_upload(size_t bytes) {
        char id[37];
        EXPECT_EQ(0, reg_blob_start_upload(id));
        std::string data(bytes, 'u');
        EXPECT_EQ(0, reg_blob_append_chunk(id, data.data(), data.size()));
        return id;
    }

    void quota(const std::string &value) { settings("{\"registry_quota_bytes\": " + value + "}"); }
};

TEST_F(QuotaCheck, ReachingTheQuotaExactlyIsAllowedOneByteMoreIsNot) {
    start();
    store_blob(std::string(250, 'a'));
    store_blob(std::string(350, 'b')); // 600 bytes stored in two blobs
    quota("1000");
    ASSERT_EQ(600, oci_quota_used_bytes());

    std::string fits = open_upload(400);
    char message[128] = "junk";
    EXPECT_EQ(1, oci_quota_check(fits.c_str(), message, sizeof message));
    EXPECT_STREQ("", message);

    std::string over = open_upload(401);
    EXPECT_EQ(0, oci_quota_check(over.c_str(), message, sizeof message));
    EXPECT_STREQ("quota exceeded: 600 B of 1000 B used", message);
    // Without a buffer the answer is the same.
    EXPECT_EQ(0, oci_quota_check(over.c_str(), nullptr, 0));

    // A buffer of 10 bytes holds the message's first 9 characters.
    char small[10];
    EXPECT_EQ(0, oci_quota_check(over.c_str(), small, sizeof small));
    EXPECT_STREQ("quota exc", small);
}

TEST_F(QuotaCheck, MessageNamesTheStoredBytesWithoutTheUploadInHumanUnits) {
    start();
    store_blob(std::string(1536, 'a'));
    quota("2048");
    std::string upload = open_upload(600);
    char message[128];
    EXPECT_EQ(0, oci_quota_check(upload.c_str(), message, sizeof message));
    EXPECT_STREQ("quota exceeded: 1.5 KB of 2.0 KB used", message);
}

TEST_F(QuotaCheck, FailsOpenWhenNothingCanBeLearned) {
    start();
    store_blob(std::string(600, 'a'));
    std::string upload = open_upload(500);
    struct {
        const char *label;
        std::string settings_value; // "" : no quota key
        const char *upload_id;
    } rows[] = {
        {"quota 0 is no limit", "0", upload.c_str()},
        {"no quota set", "", upload.c_str()},
        {"quota not a number", "\"100\"", upload.c_str()},
        {"no upload id", "100", nullptr},
        {"unknown upload id", "100", "00000000-0000-0000-0000-000000000000"},
        {"invalid upload id", "100", "../../etc"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        if (row.settings_value.empty())
            settings("{}");
        else
            quota(row.settings_value);
        char message[64] = "junk";
        EXPECT_EQ(1, oci_quota_check(row.upload_id, message, sizeof message));
        EXPECT_STREQ("", message);
    }
}

TEST_F(QuotaCheck, EngineNotStartedAllowsTheUploadAndCountsNothingStored) {
    quota("1");
    char message[64] = "junk";
    EXPECT_EQ(1, oci_quota_check("91e3a35b-f173-0dfb-938b-ee4b3dc38bf5", message, sizeof message));
    EXPECT_STREQ("", message);
    EXPECT_EQ(0, oci_quota_used_bytes());
}

} // namespace
