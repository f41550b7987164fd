// settings_test.cpp - the settings lookups over config.json: values, scanning rule, window, bad files.
#include <stdint.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/settings.h"
#include "front/oci_common.h"
#include "platform/file_snapshot.h"
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
    EXPECT_EQ(settings_int(SETTINGS_RETENTION_KEEP_N), e.keep_n);
    EXPECT_EQ(settings_int(SETTINGS_RETENTION_DAYS), e.days);
    EXPECT_EQ(settings_switch(SETTINGS_RETENTION_PROTECT_LATEST), e.protect_latest);
    EXPECT_EQ(settings_int(SETTINGS_QUOTA_BYTES), e.quota);
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
        EXPECT_EQ(settings_switch(SETTINGS_RETENTION_PROTECT_LATEST), row.expected);
        EXPECT_EQ(settings_switch(SETTINGS_FSYNC), 1);
        settings(std::string("{\"registry_fsync\":") + row.value);
        EXPECT_EQ(settings_switch(SETTINGS_FSYNC), row.expected);
        EXPECT_EQ(settings_switch(SETTINGS_RETENTION_PROTECT_LATEST), 1);
    }
    settings(std::nullopt);
    EXPECT_EQ(settings_switch(SETTINGS_FSYNC), 1);
}

// A key is matched with its quotes: a longer key that contains the name, or
// the name without its quotes, is another key.
TEST_F(Settings, LookupMatchesTheQuotedKey) {
    struct Row {
        const char *text;
        int64_t days;
    } rows[] = {
        {"{\"registry_retention_days\": 8, \"a\": 4}", 8},
        {"{\"xregistry_retention_days\": 8}", 0},
        {"{\"registry_retention_days_x\": 8}", 0},
        {"{\"registry_retention_days_x\": 8, \"registry_retention_days\": 6}", 6},
        {"{registry_retention_days: 8}", 0},
        {"{\"days\": 8}", 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        settings(row.text);
        EXPECT_EQ(settings_int(SETTINGS_RETENTION_DAYS), row.days);
    }
}

// Every row of the table is reachable by its name, answers its default when
// absent, and has a default inside its own bounds; names are unique.
TEST_F(Settings, EveryTableKeyIsReadByItsName) {
    std::set<std::string> names;
    for (int k = 0; k < SETTINGS_KEY_COUNT; ++k) {
        const settings_key key = static_cast<settings_key>(k);
        const settings_entry *e = settings_entry_of(key);
        ASSERT_NE(e, nullptr);
        SCOPED_TRACE(e->name);
        EXPECT_TRUE(names.insert(e->name).second);
        EXPECT_STREQ(settings_name(key), e->name);
        EXPECT_LE(e->min, e->max);
        EXPECT_NE(std::string(e->meaning), "");
        const std::string quoted = std::string("{\"") + e->name + "\": ";
        char out[128] = "";
        switch (e->type) {
        case SETTINGS_STRING:
            EXPECT_EQ(settings_str_in("{}", key, out, sizeof out), 0);
            EXPECT_EQ(settings_str_in((quoted + "\"" + std::string(e->min > 0 ? e->min : 1, 'a') + "\"}").c_str(), key,
                                      out, sizeof out),
                      1);
            break;
        case SETTINGS_SWITCH:
            EXPECT_STREQ(e->fallback_text, e->fallback ? "true" : "false");
            EXPECT_EQ(settings_switch_in("{}", key), e->fallback);
            EXPECT_EQ(settings_switch_in((quoted + (e->fallback ? "false}" : "true}")).c_str(), key), !e->fallback);
            break;
        case SETTINGS_BOOLEAN:
            EXPECT_STREQ(e->fallback_text, e->fallback ? "true" : "false");
            break;
        case SETTINGS_INTEGER:
        case SETTINGS_SIGNED:
        case SETTINGS_SIGNED_TEXT:
            // The default as shown starts with the default as used.
            EXPECT_EQ(std::string(e->fallback_text).rfind(std::to_string(e->fallback), 0), 0u);
            EXPECT_GE(e->fallback, e->min);
            EXPECT_LE(e->fallback, e->max);
            EXPECT_EQ(settings_int_in("{}", key), e->fallback);
            EXPECT_EQ(settings_int_in((quoted + "7}").c_str(), key), 7);
            break;
        }
    }
    EXPECT_EQ(settings_entry_of(SETTINGS_KEY_COUNT), nullptr);
    EXPECT_STREQ(settings_name(SETTINGS_KEY_COUNT), "");
}

// A lookup of the wrong type reads nothing, so a switch cannot be misread as
// a count or the other way round.
TEST_F(Settings, LookupOfAnotherTypeAnswersZero) {
    const char *text = "{\"registry_fsync\": 5, \"registry_quota_bytes\": true, \"registry_auth_user\": 3}";
    EXPECT_EQ(settings_int_in(text, SETTINGS_FSYNC), 0);
    EXPECT_EQ(settings_int_in(text, SETTINGS_AUTH_USER), 0);
    EXPECT_EQ(settings_switch_in(text, SETTINGS_QUOTA_BYTES), 0);
    EXPECT_EQ(settings_int_in(text, SETTINGS_KEY_COUNT), 0);
    EXPECT_EQ(settings_switch_in(text, SETTINGS_KEY_COUNT), 0);
}

// The bounds of the table, applied by the lookups: clamped, ignored, or 0
// read as the default, each as the key's row says.
TEST_F(Settings, BoundsPerKey) {
    struct Row {
        settings_key key;
        const char *value;
        int64_t expected;
    } rows[] = {
        {SETTINGS_RETENTION_KEEP_N, "2147483647", 2147483647},
        {SETTINGS_RETENTION_KEEP_N, "2147483648", 2147483647},
        {SETTINGS_RETENTION_DAYS, "99999999999999999999", 2147483647},
        {SETTINGS_RETENTION_DAYS, "-3", 0},
        {SETTINGS_QUOTA_BYTES, "99999999999999999999", INT64_MAX},
        {SETTINGS_GC_GRACE_SECONDS, "0", 0},
        {SETTINGS_GC_GRACE_SECONDS, "-1", 3600},
        {SETTINGS_GC_GRACE_SECONDS, "\"60\"", 3600},
        {SETTINGS_ACCESS_LOG_MAX_BYTES, "-5", 0},
        {SETTINGS_ACCESS_LOG_MAX_BYTES, "\"-5\"", 0},
        {SETTINGS_ACCESS_LOG_MAX_BYTES, "\"64\"", 64},
        {SETTINGS_ACCESS_LOG_MAX_BYTES, "-", 0},
        {SETTINGS_ACCESS_LOG_MAX_BYTES, "null", 5242880},
        {SETTINGS_ACCESS_LOG, "\"0\"", 0},
        {SETTINGS_ACCESS_LOG, "-0", 0},
        {SETTINGS_ACCESS_LOG, "false", 1},
        {SETTINGS_UPLOAD_SESSIONS_MAX, "0", 1000},
        {SETTINGS_UPLOAD_SESSIONS_MAX, "5", 5},
        {SETTINGS_UPLOAD_SESSIONS_MAX, "-1", -1},
        {SETTINGS_UPLOAD_SESSIONS_MAX, "-99999999999999999999", -1},
        {SETTINGS_UPLOAD_SESSIONS_MAX, "\"5\"", 1000},
        {SETTINGS_UPLOAD_SESSIONS_PER_REPOSITORY_MAX, "0", 100},
        {SETTINGS_UPLOAD_SESSIONS_PER_REPOSITORY_MAX, "-7", -1},
        {SETTINGS_UPLOAD_SESSIONS_PER_REPOSITORY_MAX, "nope", 100},
    };
    for (const Row &row : rows) {
        const std::string text = std::string("{\"") + settings_name(row.key) + "\": " + row.value + "}";
        SCOPED_TRACE(text);
        EXPECT_EQ(settings_int_in(text.c_str(), row.key), row.expected);
        settings(text);
        EXPECT_EQ(settings_int(row.key), row.expected);
    }
}

// The storage root: the variable, else storage_root, else
// registry_storage_root (each only directly followed by its colon), else the
// default; a value too long for the caller's buffer or its bound is ignored.
TEST_F(Settings, StorageRoot) {
    const std::string at_bound(4095, 'r');
    struct Row {
        const char *label;
        const char *env;
        std::string text;
        size_t cap;
        std::string expected;
    } rows[] = {
        {"nothing", nullptr, "{}", 64, "./registry_storage"},
        {"variable wins", "/env", "{\"storage_root\": \"/a\"}", 64, "/env"},
        {"empty variable ignored", "", "{\"storage_root\": \"/a\"}", 64, "/a"},
        {"storage_root first", nullptr, "{\"registry_storage_root\": \"/b\", \"storage_root\": \"/a\"}", 64, "/a"},
        {"registry_storage_root second", nullptr, "{\"registry_storage_root\": \"/b\"}", 64, "/b"},
        {"space before the colon", nullptr, "{\"storage_root\" : \"/a\", \"registry_storage_root\": \"/b\"}", 64,
         "/b"},
        {"empty value", nullptr, "{\"storage_root\": \"\", \"registry_storage_root\": \"/b\"}", 64,
         "./registry_storage"},
        {"too long for the buffer", nullptr, "{\"storage_root\": \"/aaaa\"}", 5, "./re"},
        {"at the bound", nullptr, "{\"storage_root\": \"" + at_bound + "\"}", 8192, at_bound},
        {"past the bound", nullptr, "{\"storage_root\": \"" + at_bound + "r\"}", 8192, "./registry_storage"},
    };
    testutil::EnvGuard env({"REGISTRY_STORAGE_ROOT"});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        if (row.env) {
            ::setenv("REGISTRY_STORAGE_ROOT", row.env, 1);
        } else {
            ::unsetenv("REGISTRY_STORAGE_ROOT");
        }
        settings(row.text);
        std::string root(row.cap, 'x');
        settings_storage_root(root.data(), row.cap);
        EXPECT_EQ(std::string(root.c_str()), row.expected);
    }
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
        EXPECT_EQ(settings_int(SETTINGS_QUOTA_BYTES), row.expected);
    }
}

TEST_F(Settings, ReadAfreshOnEveryCall) {
    settings("{\"registry_retention_keep_n\": 3, \"registry_retention_protect_latest\": false}");
    EXPECT_EQ(settings_int(SETTINGS_RETENTION_KEEP_N), 3);
    EXPECT_EQ(settings_switch(SETTINGS_RETENTION_PROTECT_LATEST), 0);
    settings("{\"registry_retention_keep_n\": 4}");
    EXPECT_EQ(settings_int(SETTINGS_RETENTION_KEEP_N), 4);
    EXPECT_EQ(settings_switch(SETTINGS_RETENTION_PROTECT_LATEST), 1);
    settings(std::nullopt);
    expect_lookups(kDefaults);
}

// The settings file is seen as changed by its size or its time to the
// nanosecond (two edits within a second), as absent or present again, and by
// other bytes under the same size and time (an edit within one clock tick); a
// file left alone, or rewritten with its bytes, size and time, is not.
TEST_F(Settings, GenerationFollowsSizeAndTime) {
    const std::string path = dir / "config.json";
    auto set_time = [&path](long ns) {
        struct timespec times[2] = {{1700000000, ns}, {1700000000, ns}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    settings("{\"registry_retention_keep_n\": 3}");
    set_time(100);
    uint64_t seen = settings_generation();
    struct Row {
        const char *step;
        std::function<void()> edit;
        bool changed;
    };
    const std::vector<Row> rows = {
        {"left alone", [] {}, false},
        // Rewritten in place: a file made anew may get another inode, which is a change of its own.
        {"same bytes, size and time",
         [&] {
             testutil::write_all(path, "{\"registry_retention_keep_n\": 3}");
             set_time(100);
         },
         false},
        {"other bytes, same size and time",
         [&] {
             testutil::write_all(path, "{\"registry_retention_keep_n\": 4}");
             set_time(100);
         },
         true},
        {"one nanosecond later", [&] { set_time(101); }, true},
        {"longer, same time", [&] { settings("{\"registry_retention_keep_n\": 40}"); set_time(101); }, true},
        {"removed", [&] { settings(std::nullopt); }, true},
        {"still absent", [] {}, false},
        {"back", [&] { settings("{}"); }, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.step);
        row.edit();
        uint64_t now = settings_generation();
        EXPECT_EQ(now != seen, row.changed);
        seen = now;
    }
}

// Two writes of the same size within one clock tick leave every stamp of the
// file as it was, so a look that finds the stamps unchanged is trusted only
// for a file that has not changed for a while: until then each look reads the
// file again. Shown here with the wait long (every look reads) and with no
// wait (a look is trusted at once).
TEST_F(Settings, AFileThatChangedLatelyIsReadAtEveryLook) {
    settings("{\"registry_retention_keep_n\": 3}");
    struct Row {
        const char *label;
        int64_t settle_ns;
        uint64_t reads; // by three looks at the unchanged file
    };
    const Row rows[] = {{"changed within the wait", int64_t{3600} * 1000000000, 3}, {"stood still", 0, 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        int64_t before = file_snapshot::set_settle_ns(row.settle_ns);
        file_snapshot f;
        f.refresh("config.json", 1 << 20);
        uint64_t version = f.version, reads = file_snapshot::reads();
        for (int i = 0; i < 3; ++i)
            f.refresh("config.json", 1 << 20);
        EXPECT_EQ(file_snapshot::reads() - reads, row.reads);
        EXPECT_EQ(f.version, version); // the same bytes: no change reported
        EXPECT_EQ(f.text, "{\"registry_retention_keep_n\": 3}");
        file_snapshot::set_settle_ns(before);
    }
    // Within one request the settings file is looked at once.
    int64_t settle = file_snapshot::set_settle_ns(int64_t{3600} * 1000000000);
    settings_hold(1);
    uint64_t reads = file_snapshot::reads();
    EXPECT_EQ(settings_int(SETTINGS_RETENTION_KEEP_N), 3);
    settings("{\"registry_retention_keep_n\": 5}");
    EXPECT_EQ(settings_int(SETTINGS_RETENTION_KEEP_N), 3); // one version for the whole request
    settings_hold(0);
    EXPECT_EQ(settings_int(SETTINGS_RETENTION_KEEP_N), 5);
    EXPECT_EQ(file_snapshot::reads() - reads, 2u);
    file_snapshot::set_settle_ns(settle);
}

} // namespace
