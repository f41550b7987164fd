// oci_common_test.cpp - name rules, path splitting, start-up and the shared responses.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>

#include "cgi/qf_audit.h"
#include "front/oci_common.h"
#include "storage/reg_storage.h"
#include "tests/test_util.h"

using testutil::TempDir;

namespace {

const std::string kPreamble404 =
    "Status: 404\r\nDocker-Distribution-API-Version: registry/2.0\r\nContent-Type: application/json; "
    "charset=utf-8\r\n\r\n";

TEST(OciValidRepoName, Table) {
    struct Row {
        std::string name;
        int expected;
    } rows[] = {
        {"Abc", 1},
        {"a.b-c_d/e", 1},
        {"a..b", 1},
        {"a--b", 1},
        {"a/../b", 1},
        {"a", 1},
        {"a1/B2/c3", 1},
        {std::string(255, 'x'), 1},
        {"", 0},
        {"-a", 0},
        {"a-", 0},
        {"_a", 0},
        {"a_", 0},
        {".a", 0},
        {"a.", 0},
        {"/a", 0},
        {"a/", 0},
        {"a//b", 0},
        {"a b", 0},
        {"a:b", 0},
        {"a\\b", 0},
        {"a%2Fb", 0},
        {std::string(256, 'x'), 0},
        {"\xc3\xa9", 0},
    };
    for (const Row &row : rows)
        EXPECT_EQ(oci_valid_repo_name(row.name.c_str()), row.expected) << row.name;
    EXPECT_EQ(oci_valid_repo_name(nullptr), 0);
}

TEST(OciParseRepoMarker, Table) {
    struct Row {
        const char *path;
        const char *marker;
        size_t name_cap;
        int expected;
        const char *name;
        const char *rest;
    } rows[] = {
        {"/v2/library/ubuntu/manifests/latest", "/manifests/", 256, 1, "library/ubuntu", "latest"},
        {"/v2/library/ubuntu/blobs/uploads/", "/blobs/uploads", 256, 1, "library/ubuntu", ""},
        {"v2/a/tags/list/", "/tags/", 256, 1, "a", "list"},
        {"/v2/a/manifests//x/", "/manifests/", 256, 1, "a", "x"},
        {"/a/manifests/x", "/manifests/", 256, 1, "a", "x"},
        {"/v2//a/manifests/x", "/manifests/", 256, 0, "/a", ""},
        {"/v2/manifests/x", "/manifests/", 256, 0, "", ""},
        {"/v2/-bad/manifests/x", "/manifests/", 256, 0, "-bad", ""},
        {"/v2/a/blobs/x", "/manifests/", 256, 0, "", ""},
        {"/v2/abcd/manifests/x", "/manifests/", 4, 0, "", ""},
        {"/v2/abc/manifests/x", "/manifests/", 4, 1, "abc", "x"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        char name[256] = "junk";
        char rest[256] = "junk";
        EXPECT_EQ(oci_parse_repo_marker(row.path, row.marker, name, row.name_cap, rest, sizeof rest), row.expected);
        EXPECT_STREQ(name, row.name);
        EXPECT_STREQ(rest, row.rest);
    }
}

TEST(OciParseRepoMarker, RestIsOptionalAndCut) {
    char name[64];
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/manifests/x", "/manifests/", name, sizeof name, nullptr, 0), 1);
    EXPECT_STREQ(name, "a");
    char rest[4];
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/manifests/abcdef", "/manifests/", name, sizeof name, rest, sizeof rest), 1);
    EXPECT_STREQ(rest, "abc");
    EXPECT_EQ(oci_parse_repo_marker(nullptr, "/m/", name, sizeof name, rest, sizeof rest), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/m/", nullptr, name, sizeof name, rest, sizeof rest), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/m/", "/m/", name, 0, rest, sizeof rest), 0);
}

TEST(OciSendError, EscapesMessageNotCodeAndLogsByteCount) {
    TempDir dir;
    auto r = testutil::run_in_child(
        [&] {
            setenv("REGISTRY_STORAGE_ROOT", dir.path().c_str(), 1);
            setenv("REQUEST_METHOD", "DELETE", 1);
            setenv("PATH_INFO", "/v2/x", 1);
            oci_send_error(404, "CO\"DE", "a\"b\\c\x01");
        },
        dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kPreamble404 + "{\"errors\":[{\"code\":\"CO\"DE\",\"message\":\"a\\\"b\\\\c\\u0001\"}]}\n");
    // 38 fixed bytes, 5 of code, 6 of message before escaping.
    std::string log = testutil::read_all(dir / "registry_access.log");
    EXPECT_EQ(log.substr(0, log.find(" 2")), "DELETE /v2/x 49 404 anonymous -");
}

TEST(OciSendError, MissingCodeAndMessage) {
    auto r = testutil::run_in_child([] {
        setenv("REGISTRY_STORAGE_ROOT", "/nonexistent-dir-for-log", 1);
        oci_send_error(404, nullptr, nullptr);
    });
    EXPECT_EQ(r.out, kPreamble404 + "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"Unknown error\"}]}\n");
}

TEST(OciSendJson, BodyAndByteCount) {
    struct Row {
        const char *json;
        std::string body;
        const char *bytes;
    } rows[] = {
        {"{\"a\":1}", "{\"a\":1}\n", " 8 200 "},
        {"", "{}\n", " 3 200 "},
        {nullptr, "{}\n", " 3 200 "},
    };
    for (const Row &row : rows) {
        TempDir dir;
        auto r = testutil::run_in_child(
            [&] {
                setenv("REGISTRY_STORAGE_ROOT", dir.path().c_str(), 1);
                exit(oci_send_json(200, row.json) == 0 ? 0 : 3);
            },
            dir.path());
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out,
                  "Status: 200\r\nDocker-Distribution-API-Version: registry/2.0\r\nContent-Type: application/json; "
                  "charset=utf-8\r\n\r\n" +
                      row.body);
        EXPECT_NE(testutil::read_all(dir / "registry_access.log").find(row.bytes), std::string::npos);
    }
}

TEST(OciInitStorage, SecondCallAfterSuccessReadsNothing) {
    TempDir dir;
    auto r = testutil::run_in_child([&] {
        setenv("REGISTRY_STORAGE_ROOT", (dir / "store").c_str(), 1);
        int first = oci_init_storage();
        // An unusable root would now fail; a started front end does not look again.
        setenv("REGISTRY_STORAGE_ROOT", "", 1);
        testutil::write_all(dir / "store2", "file");
        setenv("REGISTRY_STORAGE_ROOT", (dir / "store2/x").c_str(), 1);
        int second = oci_init_storage();
        printf("%d %d", first, second);
    });
    EXPECT_EQ(r.out, "0 0");
}

TEST(OciInitStorage, FailedStartUpIsRetried) {
    TempDir dir;
    testutil::write_all(dir / "blocker", "file");
    auto r = testutil::run_in_child([&] {
        setenv("REGISTRY_STORAGE_ROOT", (dir / "blocker/x").c_str(), 1);
        int first = oci_init_storage();
        setenv("REGISTRY_STORAGE_ROOT", (dir / "ok").c_str(), 1);
        int second = oci_init_storage();
        printf("%d %d", first, second);
    });
    EXPECT_EQ(r.out, "-1 0");
}

TEST(OciInitStorage, OverlongSettingsValueIsIgnored) {
    TempDir dir;
    std::string value(4096, 'v'); // longer than the front door's root buffer
    testutil::write_all(dir / "config.json",
                        "{\"storage_root\": \"" + value + "\", \"registry_storage_root\": \"other\"}");
    auto r = testutil::run_in_child(
        [] {
            unsetenv("REGISTRY_STORAGE_ROOT");
            printf("%d", oci_init_storage());
        },
        dir.path());
    EXPECT_EQ(r.out, "0");
    EXPECT_TRUE(testutil::is_dir(dir / "registry_storage/blobs/sha256"));
    EXPECT_FALSE(testutil::exists(dir / "other"));
}

} // namespace
