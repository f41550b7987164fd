// Tests for the CGI toolkit in cgi/qf_cgi.h: accessors, response writers, escaping and bounded strings.
#include "cgi/qf_cgi.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

using testutil::ChildResult;
using testutil::TempDir;

// Puts the named variables back as they were, so accessor cases cannot leak into each other.
class CgiEnvTest : public ::testing::Test {
protected:
    testutil::EnvGuard env_{{"REQUEST_METHOD", "PATH_INFO", "QF_CGI_TEST_VAR"}};
};

TEST_F(CgiEnvTest, MethodAndItsPredicates) {
    struct Row {
        std::optional<std::string> value;
        const char *method;
        int is_post;
        int is_head;
    };
    const Row rows[] = {
        {std::nullopt, "GET", 0, 0}, {"", "GET", 0, 0},        {"GET", "GET", 0, 0},   {"POST", "POST", 1, 0},
        {"PO", "PO", 1, 0},          {"P", "P", 0, 0},         {"post", "post", 0, 0}, {"PUT", "PUT", 0, 0},
        {"HEAD", "HEAD", 0, 1},      {"HEADX", "HEADX", 0, 1}, {"HEA", "HEA", 0, 0},   {"head", "head", 0, 0},
        {"DELETE", "DELETE", 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.value ? "\"" + *r.value + "\"" : std::string("unset"));
        env_.set("REQUEST_METHOD", r.value);
        EXPECT_STREQ(cgi_method(), r.method);
        EXPECT_EQ(cgi_is_post(), r.is_post);
        EXPECT_EQ(cgi_is_head(), r.is_head);
    }
}

TEST_F(CgiEnvTest, PathInfoDefaultsToRoot) {
    struct Row {
        std::optional<std::string> value;
        const char *expected;
    };
    const Row rows[] = {
        {std::nullopt, "/"},
        {"", "/"},
        {"/v2/library/ubuntu", "/v2/library/ubuntu"},
        {"relative", "relative"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.value ? "\"" + *r.value + "\"" : std::string("unset"));
        env_.set("PATH_INFO", r.value);
        EXPECT_STREQ(cgi_path_info(), r.expected);
    }
}

TEST_F(CgiEnvTest, EnvFallsBackOnUnsetOrEmpty) {
    struct Row {
        std::optional<std::string> value;
        const char *fallback;
        const char *expected;
    };
    const Row rows[] = {
        {std::nullopt, nullptr, ""}, {std::nullopt, "fb", "fb"}, {"", nullptr, ""}, {"", "fb", "fb"}, {"v", "fb", "v"},
        {"v", nullptr, "v"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.value ? "\"" + *r.value + "\"" : "unset") + " fallback " +
                     (r.fallback ? r.fallback : "null"));
        env_.set("QF_CGI_TEST_VAR", r.value);
        const char *got = cgi_env("QF_CGI_TEST_VAR", r.fallback);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, r.expected);
    }
    // Rereads the environment on every call rather than caching the first answer.
    env_.set("QF_CGI_TEST_VAR", std::string("first"));
    EXPECT_STREQ(cgi_env("QF_CGI_TEST_VAR", nullptr), "first");
    env_.set("QF_CGI_TEST_VAR", std::string("second"));
    EXPECT_STREQ(cgi_env("QF_CGI_TEST_VAR", nullptr), "second");
}

// Runs writers in a child whose working directory has no log directory, so the
// access log (touched by the status writers) has nowhere to write.
ChildResult respond(const std::function<void()> &fn) {
    TempDir cwd;
    return testutil::run_in_child(
        [&] {
            unsetenv("REGISTRY_STORAGE_ROOT");
            fn();
        },
        cwd.path());
}

TEST(CgiHeaders, EachWriterWritesExactlyOneLine) {
    struct Row {
        const char *name;
        std::function<void()> write;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"html", [] { cgi_header_html(); }, "Content-Type: text/html; charset=utf-8\r\n"},
        {"json", [] { cgi_header_json(); }, "Content-Type: application/json; charset=utf-8\r\n"},
        {"text", [] { cgi_header_text(); }, "Content-Type: text/plain; charset=utf-8\r\n"},
        {"ct", [] { cgi_header_ct("application/octet-stream"); }, "Content-Type: application/octet-stream\r\n"},
        {"extra", [] { cgi_header_extra("Docker-Distribution-API-Version: registry/2.0"); },
         "Docker-Distribution-API-Version: registry/2.0\r\n"},
        {"extra empty", [] { cgi_header_extra(""); }, "\r\n"},
        {"end", [] { cgi_headers_end(); }, "\r\n"},
        {"status with reason", [] { cgi_header_status(404, "Not Found"); }, "Status: 404 Not Found\r\n"},
        {"status null reason", [] { cgi_header_status(200, nullptr); }, "Status: 200\r\n"},
        {"status empty reason", [] { cgi_header_status(200, ""); }, "Status: 200\r\n"},
        {"status 202", [] { cgi_header_status(202, "Accepted"); }, "Status: 202 Accepted\r\n"},
        {"binary switch",
         [] {
             qf_stdout_bin();
             qf_stdout_bin();
         },
         ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        ChildResult res = respond(r.write);
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_EQ(res.out, r.expected);
    }
}

TEST(CgiHeaders, ResponseKeepsCallerOrder) {
    ChildResult res = respond([] {
        cgi_header_status(202, "Accepted");
        cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
        cgi_header_json();
        cgi_headers_end();
        fputs("{}\n", stdout);
    });
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, "Status: 202 Accepted\r\n"
                       "Docker-Distribution-API-Version: registry/2.0\r\n"
                       "Content-Type: application/json; charset=utf-8\r\n"
                       "\r\n"
                       "{}\n");
}

// A die writer in a process with a log directory: the response, the exit code and the logged line.
struct DieRun {
    ChildResult child;
    std::string log;
};

DieRun die_with_log(const std::function<void()> &die) {
    TempDir cwd;
    std::filesystem::create_directories(cwd / "registry_storage");
    DieRun run;
    run.child = testutil::run_in_child(
        [&] {
            unsetenv("REGISTRY_STORAGE_ROOT");
            unsetenv("REMOTE_ADDR");
            setenv("REQUEST_METHOD", "PUT", 1);
            setenv("PATH_INFO", "/v2/x", 1);
            die();
            // Reaching here means the writer returned; run_in_child would still exit 0.
            fputs("RETURNED", stdout);
        },
        cwd.path());
    run.log = testutil::read_all(cwd / "registry_storage/registry_access.log");
    return run;
}

using testutil::time_stamp_at;

// The logged line with its two time stamps checked and replaced by "TS".
std::string mask_time(const std::string &line) {
    std::vector<std::string> found;
    std::string masked;
    for (size_t i = 0; i < line.size();) {
        if (time_stamp_at(line, i)) {
            found.push_back(line.substr(i, 20));
            masked += "TS";
            i += 20;
        } else {
            masked += line[i++];
        }
    }
    EXPECT_EQ(found.size(), 2u) << line;
    if (found.size() == 2) {
        EXPECT_EQ(found[0], found[1]);
    }
    return masked;
}

std::string expected_log(int status) {
    std::string s = std::to_string(status);
    return "PUT /v2/x 0 " + s + " anonymous - TS {\"ts\":\"TS\",\"method\":\"PUT\",\"path\":\"/v2/x\",\"status\":" +
           s + ",\"bytes\":0,\"actor\":\"anonymous\",\"client\":\"-\"}\n";
}

TEST(CgiDie, TextResponseEndsProcessAndLogsStatus) {
    struct Row {
        int status;
        const char *message;
        std::string body;
    };
    const Row rows[] = {
        {500, "storage failed", "storage failed\n"},
        {404, nullptr, "\n"},
        {400, "", "\n"},
        {403, "line \"one\"\n", "line \"one\"\n\n"}, // plain text: no escaping
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.status);
        DieRun run = die_with_log([&] { cgi_die_text(r.status, r.message); });
        EXPECT_EQ(run.child.exit_code, 0);
        EXPECT_EQ(run.child.out, "Status: " + std::to_string(r.status) +
                                     "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + r.body);
        EXPECT_EQ(mask_time(run.log), expected_log(r.status));
    }
}

TEST(CgiDie, JsonResponseEndsProcessAndLogsStatus) {
    struct Row {
        int status;
        const char *message;
        std::string escaped;
    };
    const Row rows[] = {
        {400, "bad digest", "bad digest"},
        {500, nullptr, "error"},
        {500, "", ""},
        {409, "say \"no\"\\\n\x01", "say \\\"no\\\"\\\\\\n\\u0001"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.status);
        DieRun run = die_with_log([&] { cgi_die_json(r.status, r.message); });
        EXPECT_EQ(run.child.exit_code, 0);
        EXPECT_EQ(run.child.out, "Status: " + std::to_string(r.status) +
                                     "\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
                                     "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"" +
                                     r.escaped + "\"}]}\n");
        EXPECT_EQ(mask_time(run.log), expected_log(r.status));
    }
}

TEST(CgiDie, NonPositiveStatusStillExitsZeroButLogsNothing) {
    DieRun run = die_with_log([] { cgi_die_text(0, "odd"); });
    EXPECT_EQ(run.child.exit_code, 0);
    EXPECT_EQ(run.child.out, "Status: 0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nodd\n");
    EXPECT_EQ(run.log, "");
}

std::string escaped(const char *text) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    if (!f) return "<open_memstream failed>";
    json_escape_f(f, text);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
}

TEST(JsonEscape, EscapesByteByByte) {
    struct Row {
        const char *in;
        std::string out;
    };
    const Row rows[] = {
        {"plain text", "plain text"},
        {"\"", "\\\""},
        {"\\", "\\\\"},
        {"\b", "\\b"},
        {"\t", "\\t"},
        {"\n", "\\n"},
        {"\f", "\\f"},
        {"\r", "\\r"},
        {"\x01", "\\u0001"},
        {"\x0b", "\\u000b"},
        {"\x1b", "\\u001b"},
        {"\x1f", "\\u001f"},
        {" ", " "},
        {"/", "/"},
        {"\x7f", "\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\x80\xff", "\x80\xff"},
        {"a\"b\\c\x02", "a\\\"b\\\\c\\u0002"},
        {"", ""},
        {nullptr, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.in ? r.in : "null");
        EXPECT_EQ(escaped(r.in), r.out);
    }
}

// Bounded writers get a guarded buffer: bytes at and after size must stay untouched.
constexpr char kGuard = '#';
constexpr size_t kBuf = 32;

std::string guarded_view(const char *buf, size_t size) {
    for (size_t i = size; i < kBuf; ++i)
        if (buf[i] != kGuard) return "<wrote past size at " + std::to_string(i) + ">";
    if (size == 0) return buf[0] == kGuard ? "<untouched>" : "<touched>";
    return std::string(buf);
}

TEST(BoundedStrings, StrlcpyCutsAndTerminates) {
    struct Row {
        const char *src;
        size_t size;
        std::string expected;
        int fit; // what it answers: 1 when the whole source fit
    };
    const Row rows[] = {
        {"hello", 3, "he", 0},
        {"hello", 1, "", 0},
        {"hello", 2, "h", 0},
        {"hello", 5, "hell", 0},
        {"hello", 6, "hello", 1},
        {"hello", 20, "hello", 1},
        {"", 4, "", 1},
        {nullptr, 4, "", 1},
        {"hello", 0, "<untouched>", 0},
        {nullptr, 0, "<untouched>", 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.src ? r.src : "null") + " size " + std::to_string(r.size));
        char buf[kBuf];
        memset(buf, kGuard, sizeof buf);
        EXPECT_EQ(r.fit, qf_strlcpy(buf, r.src, r.size));
        EXPECT_EQ(guarded_view(buf, r.size), r.expected);
    }
}

TEST(BoundedStrings, SnprintfReturnsCharactersStored) {
    struct Row {
        size_t size;
        std::string expected;
        int ret;
    };
    const Row rows[] = {
        {4, "hel", 3}, {6, "hello", 5},       {5, "hell", 4},   {2, "h", 1},
        {1, "", 0},    {0, "<untouched>", 0}, {32, "hello", 5},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.size);
        char buf[kBuf];
        memset(buf, kGuard, sizeof buf);
        EXPECT_EQ(qf_snprintf(buf, r.size, "%s", "hello"), r.ret);
        EXPECT_EQ(guarded_view(buf, r.size), r.expected);
    }
    char buf[kBuf];
    EXPECT_EQ(qf_snprintf(buf, sizeof buf, "%s:%d:%05.1f", "n", -42, 2.5), 11);
    EXPECT_STREQ(buf, "n:-42:002.5");
    EXPECT_EQ(qf_snprintf(nullptr, 8, "%s", "x"), 0);
}

TEST(BoundedStrings, SnprintfFormatFailureLeavesTerminatedBuffer) {
    // A wide character with no encoding in the C locale makes the formatter fail.
    char buf[kBuf];
    memset(buf, kGuard, sizeof buf);
    int n = qf_snprintf(buf, 8, "ab%lc", static_cast<wint_t>(0xD800));
    EXPECT_EQ(n, 7);
    EXPECT_EQ(buf[7], '\0');
    EXPECT_EQ(guarded_view(buf, 8).find("<wrote past"), std::string::npos);
}

// The same text as qf_snprintf, and whether all of it fit: a cut path must
// not be used as if it were the whole one.
TEST(BoundedStrings, SnprintfFitTellsACutText) {
    struct Row {
        size_t size;
        std::string expected;
        int fit;
    };
    const Row rows[] = {
        {32, "a/bc", 1}, {5, "a/bc", 1}, {4, "a/b", 0}, {2, "a", 0}, {1, "", 0}, {0, "<untouched>", 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.size);
        char buf[kBuf];
        memset(buf, kGuard, sizeof buf);
        EXPECT_EQ(r.fit, qf_snprintf_fit(buf, r.size, "%s/%s", "a", "bc"));
        EXPECT_EQ(guarded_view(buf, r.size), r.expected);
    }
    EXPECT_EQ(0, qf_snprintf_fit(nullptr, 8, "%s", "x"));
    // A text the formatter cannot produce did not fit either.
    char buf[kBuf];
    memset(buf, kGuard, sizeof buf);
    EXPECT_EQ(0, qf_snprintf_fit(buf, 8, "ab%lc", static_cast<wint_t>(0xD800)));
    EXPECT_EQ(guarded_view(buf, 8).find("<wrote past"), std::string::npos);
    EXPECT_NE(nullptr, memchr(buf, '\0', 8));
}

TEST(BoundedStrings, PathJoin) {
    struct Row {
        const char *first;
        const char *second;
        size_t size;
        std::string expected;
    };
    const Row rows[] = {
        {"a", "b", kBuf, "a/b"},
        {"a/", "/b", kBuf, "a/b"},
        {"a", "\\\\b", kBuf, "a/b"},
        {"a\\", "b", kBuf, "a\\b"},
        {"a", "//\\b/c", kBuf, "a/b/c"},
        {"/", "b", kBuf, "/b"},
        {"a", "///", kBuf, "a/"},
        {"", "/b", kBuf, "/b"},
        {nullptr, "/b", kBuf, "/b"},
        {nullptr, nullptr, kBuf, ""},
        {"", nullptr, kBuf, ""},
        {"", "", kBuf, ""},
        {"a", "", kBuf, "a"},
        {"a", nullptr, kBuf, "a"},
        {"a", "b", 2, "a"},
        {"a", "b", 3, "a/"},
        {"a", "b", 4, "a/b"},
        {"ab", "cd", 5, "ab/c"},
        {"abcdef", "g", 4, "abc"},
        {"a/", "/b", 3, "a/"},
        {"", "/bcd", 3, "/b"},
        {"a", "b", 1, ""},
        {"a", "b", 0, "<untouched>"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.first ? r.first : "null") + " + " + (r.second ? r.second : "null") + " size " +
                     std::to_string(r.size));
        char buf[kBuf];
        memset(buf, kGuard, sizeof buf);
        qf_path_join(buf, r.size, r.first, r.second);
        EXPECT_EQ(guarded_view(buf, r.size), r.expected);
    }
}

} // namespace
