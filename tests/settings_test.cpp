// settings_test.cpp - the settings lookups over config.json: values, scanning rule, window, bad files.
#include <stdint.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "front/oci_common.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

class Settings : public testutil::SettingsDirTest {};

struct Expected {
    int64_t keep_n;
    int64_t days;
    int protect_latest;
    int64_t quota;
};

void expect_lookups(const Expected &e) {
    EXPECT_EQ(oci_retention_keep_n(), e.keep_n);
    EXPECT_EQ(oci_retention_days(), e.days);
    EXPECT_EQ(oci_retention_protect_latest(), e.protect_latest);
    EXPECT_EQ(oci_quota_bytes(), e.quota);
}

constexpr Expected kDefaults = {0, 0, 1, 0};

TEST_F(Settings, ValuesAndScanningRule) {
    struct Row {
        const char *label;
        std::optional<std::string> text; // nullopt: no settings file
        Expected expected;
    } rows[] = {
        {"no file", std::nullopt, kDefaults},
        {"empty file", "", kDefaults},
        {"all four set",
         "{\"registry_retention_keep_n\": 5, \"registry_retention_days\": 30, "
         "\"registry_retention_protect_latest\": false, \"registry_quota_bytes\": 10737418240}",
         {5, 30, 0, 10737418240}},
        {"quota as a string", "{\"registry_quota_bytes\": \"1000\"}", kDefaults},
        {"no space", "{\"registry_quota_bytes\":1000}", {0, 0, 1, 1000}},
        {"white space both sides of the colon", "{\"registry_quota_bytes\" :\t\r\n 1000}", {0, 0, 1, 1000}},
        {"negative", "{\"registry_retention_days\": -3}", kDefaults},
        {"plus sign", "{\"registry_retention_days\": +3}", kDefaults},
        {"fraction", "{\"registry_retention_days\": 7.5}", {0, 7, 1, 0}},
        {"digits then letters", "{\"registry_retention_days\": 12abc}", {0, 12, 1, 0}},
        {"past 64 bits saturates", "{\"registry_quota_bytes\": 99999999999999999999}", {0, 0, 1, INT64_MAX}},
        {"largest 64-bit value", "{\"registry_quota_bytes\": 9223372036854775807}", {0, 0, 1, INT64_MAX}},
        {"key without colon", "{\"registry_quota_bytes\"", kDefaults},
        {"key without value", "{\"registry_retention_keep_n\":", kDefaults},
        {"unquoted key is not the key", "{registry_retention_keep_n: 4}", kDefaults},
        {"first occurrence wins, as another member's string value",
         "{\"note\": \"registry_retention_keep_n\", \"x\": 9, \"registry_retention_keep_n\": 2}",
         {9, 0, 1, 0}},
        {"first occurrence wins, in a nested object",
         "{\"other\": {\"registry_retention_days\": 3}, \"registry_retention_days\": 5}",
         {0, 3, 1, 0}},
        {"repeated key", "{\"registry_retention_keep_n\": 1, \"registry_retention_keep_n\": 2}", {1, 0, 1, 0}},
        {"bytes before a NUL only", std::string("{\"x\":1}\0\"registry_quota_bytes\": 5", 33), kDefaults},
        {"binary bytes around the key", "\xff\xfe\x01\x80\"registry_quota_bytes\": 5\x90\xff", {0, 0, 1, 5}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        settings(row.text);
        expect_lookups(row.expected);
    }
}

// Both switches take a value by one rule: off only when clearly false or zero.
TEST_F(Settings, SwitchValues) {
    struct Row {
        const char *value;
        int expected;
    } rows[] = {
        {"true", 1},   {"false", 0}, {"0", 0},         {"000", 0},       {"2", 1},       {"1", 1},
        {"\"no\"", 1}, {"null", 1},  {"-1", 1},        {"\"false\"", 1}, {"trueish", 1}, {"falsehood", 0},
        {"TRUE", 1},   {"FALSE", 1}, {"\n\tfalse", 0}, {"", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.value);
        settings(std::string("{\"registry_retention_protect_latest\":") + row.value);
        EXPECT_EQ(oci_retention_protect_latest(), row.expected);
        EXPECT_EQ(oci_fsync_enabled(), 1);
        settings(std::string("{\"registry_fsync\":") + row.value);
        EXPECT_EQ(oci_fsync_enabled(), row.expected);
        EXPECT_EQ(oci_retention_protect_latest(), 1);
    }
    settings(std::nullopt);
    EXPECT_EQ(oci_fsync_enabled(), 1);
}

TEST_F(Settings, GenericLookupTakesTheQuotedKeyAsGiven) {
    settings("{\"registry_retention_days\": 8, \"a\": 4, \"xa\": 6}");
    EXPECT_EQ(oci_config_int("\"registry_retention_days\""), 8);
    EXPECT_EQ(oci_config_int("\"a\""), 4);
    // Without its quotes a key matches inside another one: the caller's text is searched verbatim.
    EXPECT_EQ(oci_config_int("days"), 8);
    EXPECT_EQ(oci_config_int("\"missing\""), 0);
    EXPECT_EQ(oci_config_int(nullptr), 0);
    EXPECT_EQ(oci_config_int(""), 0);
}

// The lookups see the first 4095 bytes: a key beyond them is absent, and a
// value cut by the window is read as far as it goes.
// The whole file is read: a key far into it counts; a file past 1 MiB is not
// a settings file and reads as absent.
TEST_F(Settings, WholeFileIsRead) {
    const std::string key = "\"registry_quota_bytes\":";
    struct Row {
        size_t pad; // bytes before the key
        int64_t expected;
    } rows[] = {
        {0, 12345},
        {4095, 12345},
        {100000, 12345},
        {(1 << 20) + 1, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.pad);
        settings(std::string(row.pad, ' ') + key + "12345}");
        EXPECT_EQ(oci_quota_bytes(), row.expected);
    }
}

TEST_F(Settings, ReadAfreshOnEveryCall) {
    settings("{\"registry_retention_keep_n\": 3, \"registry_retention_protect_latest\": false}");
    EXPECT_EQ(oci_retention_keep_n(), 3);
    EXPECT_EQ(oci_retention_protect_latest(), 0);
    settings("{\"registry_retention_keep_n\": 4}");
    EXPECT_EQ(oci_retention_keep_n(), 4);
    EXPECT_EQ(oci_retention_protect_latest(), 1);
    settings(std::nullopt);
    expect_lookups(kDefaults);
}

// The settings file is seen as changed by its size or its time to the
// nanosecond (two edits within a second), as absent or present again; a file
// left alone, or rewritten with its size and time, is not.
TEST_F(Settings, GenerationFollowsSizeAndTime) {
    const std::string path = dir / "config.json";
    auto set_time = [&path](long ns) {
        struct timespec times[2] = {{1700000000, ns}, {1700000000, ns}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    settings("{\"registry_retention_keep_n\": 3}");
    set_time(100);
    uint64_t seen = oci_settings_generation();
    struct Row {
        const char *step;
        std::function<void()> edit;
        bool changed;
    };
    const std::vector<Row> rows = {
        {"left alone", [] {}, false},
        {"same size and time", [&] { settings("{\"registry_retention_keep_n\": 4}"); set_time(100); }, false},
        {"one nanosecond later", [&] { set_time(101); }, true},
        {"longer, same time", [&] { settings("{\"registry_retention_keep_n\": 40}"); set_time(101); }, true},
        {"removed", [&] { settings(std::nullopt); }, true},
        {"still absent", [] {}, false},
        {"back", [&] { settings("{}"); }, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.step);
        row.edit();
        uint64_t now = oci_settings_generation();
        EXPECT_EQ(now != seen, row.changed);
        seen = now;
    }
}

} // namespace
