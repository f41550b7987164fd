// Tests for engine handles: two storage roots served by one process, each
// handle with its own root, errors, result buffer and upload ids.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

using testutil::sha256_digest;

// Stores content as a blob through an upload of the current handle; its digest, or "" on failure.
std::string push_blob(const std::string &content) {
    char id[37] = "";
    char digest[72] = "";
    std::string want = sha256_digest(content);
    if (reg_blob_start_upload(id) != 0) return "";
    if (reg_blob_append_chunk(id, content.data(), content.size()) != 0) return "";
    if (reg_blob_finish_upload(id, want.c_str(), digest) != 0) return "";
    return digest;
}

// Stores an image manifest naming config under repo:tag through the current handle.
int push_image(const char *repo, const char *tag, const std::string &config) {
    std::string body = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                       "\"config\":{\"mediaType\":\"c\",\"digest\":\"" +
                       config + "\",\"size\":1},\"layers\":[]}";
    char digest[72] = "";
    return reg_manifest_put(repo, tag, body.data(), body.size(), "application/vnd.oci.image.manifest.v1+json", digest);
}

class EngineHandleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, reg_engine_open(root_a_.c_str(), &a_)) << reg_engine_last_error(a_);
        ASSERT_EQ(0, reg_engine_open(root_b_.c_str(), &b_)) << reg_engine_last_error(b_);
    }
    void TearDown() override {
        reg_engine_use(nullptr);
        reg_engine_close(a_);
        reg_engine_close(b_);
        testutil::clear_platform_faults();
    }

    testutil::TempDir tmp_;
    std::string root_a_ = tmp_ / "a";
    std::string root_b_ = tmp_ / "b";
    reg_engine *a_ = nullptr;
    reg_engine *b_ = nullptr;
};

TEST_F(EngineHandleTest, EachHandleStoresBelowItsOwnRootOnly) {
    reg_engine_use(a_);
    std::string config = push_blob("{\"handle\":\"a\"}");
    ASSERT_FALSE(config.empty()) << reg_storage_last_error();
    ASSERT_EQ(0, push_image("app", "v1", config)) << reg_storage_last_error();
    EXPECT_TRUE(testutil::exists(root_a_ + "/repositories/app/_manifests/tags/v1/current/link"));
    EXPECT_FALSE(testutil::exists(root_b_ + "/repositories/app"));

    reg_engine_use(b_);
    EXPECT_EQ(0, reg_blob_exists(config.c_str()));
    EXPECT_EQ(0, reg_repo_exists("app"));
    std::string catalog_b = reg_catalog_json(0, nullptr);
    reg_engine_use(a_);
    EXPECT_EQ(1, reg_blob_exists(config.c_str()));
    EXPECT_EQ(1, reg_repo_exists("app"));
    EXPECT_NE(catalog_b, std::string(reg_catalog_json(0, nullptr)));
    EXPECT_NE(std::string::npos, std::string(reg_catalog_json(0, nullptr)).find("\"app\"")) << catalog_b;
}

// A failure on one handle leaves the other's last error and its last answer as they were.
TEST_F(EngineHandleTest, ErrorsAndResultsStayWithTheirHandle) {
    reg_engine_use(a_);
    std::string config = push_blob("config of a");
    ASSERT_EQ(0, push_image("app", "v1", config)) << reg_storage_last_error();
    const char *tags_a = reg_tags_list_json("app");
    ASSERT_NE(nullptr, tags_a) << reg_storage_last_error();
    const std::string tags_text = tags_a;
    EXPECT_EQ(REG_ERR_NONE, reg_storage_last_error_kind());

    reg_engine_use(b_);
    char type[128] = "";
    char digest[72] = "";
    EXPECT_EQ(nullptr, reg_manifest_get("app", "v1", type, digest));
    EXPECT_EQ(REG_ERR_NOT_FOUND, reg_storage_last_error_kind());
    const std::string error_b = reg_storage_last_error();
    EXPECT_FALSE(error_b.empty());
    EXPECT_NE(nullptr, reg_catalog_json(0, nullptr)); // writes b's result buffer

    reg_engine_use(a_);
    EXPECT_EQ(REG_ERR_NONE, reg_storage_last_error_kind());
    EXPECT_STREQ("", reg_storage_last_error());
    EXPECT_EQ(tags_text, tags_a) << "a's answer was overwritten by b's call";
    EXPECT_EQ(error_b, reg_engine_last_error(b_));
    EXPECT_STREQ("", reg_engine_last_error(a_));
}

// The calls of a thread that selected no handle use the default one, which
// the handles of other threads neither start nor fail.
TEST_F(EngineHandleTest, TheDefaultHandleAndOtherThreadsAreUntouched) {
    reg_storage_cleanup();
    reg_storage_clear_error();
    std::thread worker([this] {
        reg_engine_use(b_);
        EXPECT_EQ(-1, reg_tag_delete("nothing", "here"));
        EXPECT_EQ(REG_ERR_NOT_FOUND, reg_storage_last_error_kind());
    });
    worker.join();
    EXPECT_EQ(REG_ERR_NOT_FOUND, [this] {
        reg_engine *outer = reg_engine_use(b_);
        reg_err_kind kind = reg_storage_last_error_kind();
        reg_engine_use(outer);
        return kind;
    }());
    // This thread is still on the default handle: never started, no error.
    EXPECT_EQ(REG_ERR_NONE, reg_storage_last_error_kind());
    EXPECT_EQ(-1, reg_repo_exists("app"));
    EXPECT_STREQ("not initialized - call reg_storage_init first", reg_storage_last_error());
    EXPECT_STREQ("", reg_engine_last_error(a_));
}

TEST_F(EngineHandleTest, UploadIdsAndSessionsBelongToOneRoot) {
    reg_engine_use(a_);
    char id[37] = "";
    ASSERT_EQ(0, reg_blob_start_upload(id)) << reg_storage_last_error();
    reg_engine_use(b_);
    EXPECT_EQ(-1, reg_blob_append_chunk(id, "x", 1));
    EXPECT_EQ(REG_ERR_NOT_FOUND, reg_storage_last_error_kind()) << reg_storage_last_error();
    reg_engine_use(a_);
    EXPECT_EQ(0, reg_blob_append_chunk(id, "x", 1)) << reg_storage_last_error();
    int64_t size = -1;
    EXPECT_EQ(0, reg_blob_upload_size(id, &size));
    EXPECT_EQ(1, size);
}

TEST(EngineHandle, AFailedOpenTellsWhyInItsHandle) {
    reg_storage_clear_error();
    struct {
        const char *root;
        const char *error;
    } rows[] = {
        {"", "storage root dir is empty"},
        {nullptr, "storage root dir is empty"},
    };
    for (const auto &row : rows) {
        reg_engine *engine = nullptr;
        EXPECT_EQ(-1, reg_engine_open(row.root, &engine));
        ASSERT_NE(nullptr, engine);
        EXPECT_STREQ(row.error, reg_engine_last_error(engine));
        reg_engine_close(engine);
    }
    EXPECT_STREQ("", reg_storage_last_error()) << "the default handle took another handle's error";
}

// Closing the handle a thread uses puts that thread back on the default handle.
TEST(EngineHandle, ClosingTheSelectedHandleFallsBackToTheDefault) {
    testutil::TempDir tmp;
    reg_storage_cleanup();
    reg_engine *engine = nullptr;
    ASSERT_EQ(0, reg_engine_open((tmp / "root").c_str(), &engine));
    EXPECT_EQ(nullptr, reg_engine_use(engine));
    EXPECT_EQ(0, reg_repo_exists("app"));
    reg_engine_close(engine);
    EXPECT_EQ(-1, reg_repo_exists("app")); // the default handle was never started
    EXPECT_EQ(nullptr, reg_engine_use(nullptr));
}

} // namespace
