// cgi_query_body_test.cpp - query-string parameters and request-body intake (whole and streamed).
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cgi/qf_cgi.h"
#include "tests/test_util.h"

namespace {

using testutil::TempDir;

// Puts the variables these tests touch back as they were.
class CgiInput : public ::testing::Test {
protected:
    testutil::EnvGuard env_{{"QUERY_STRING", "POST_BODY_FILE", "CONTENT_LENGTH", "QF_TEST_PAGE"}};
    TempDir dir;
};

// --- query string ---

TEST_F(CgiInput, QueryDecoding) {
    struct Row {
        const char *query;
        const char *name;
        std::string expected;
    } rows[] = {
        {"a=1&b=2", "b", "2"},
        {"a=1&b=2", "a", "1"},
        {"a=1&b=2", "c", ""},
        {"a=1&a=2", "a", "1"},
        {"flag&x=1", "flag", ""},
        {"flag&x=1", "x", "1"},
        {"x=a+b%20c", "x", "a b c"},
        {"x=%41%4a%4A", "x", "AJJ"},
        {"x=%zz", "x", "%zz"},
        {"x=%4", "x", "%4"},
        {"x=50%", "x", "50%"},
        {"x=%%41", "x", "%A"},
        {"x=%4%41", "x", "%4A"},
        {"x=%2g", "x", "%2g"},
        {"x=%ff%80", "x", "\xff\x80"},
        {"x=a%00b", "x", "a"},
        {"x=%2B+%2b", "x", "+ +"},
        {"x==1", "x", "=1"},
        {"x=a=b&y", "x", "a=b"},
        {"X=1", "x", ""},
        {"a=1&", "b", ""},
        {"a=1&&b=2", "b", "2"},
        {"&b=2", "b", "2"},
        {"a=1;b=2", "b", ""},
        {"a=1;b=2", "a", "1;b=2"},
        {"%61=1", "a", ""},
        {"%61=1", "%61", "1"},
        {"a+b=1", "a b", ""},
        {"a+b=1", "a+b", "1"},
        {"=v", "x", ""},
        {"xx=1&x=2", "x", "2"},
        {"x=", "x", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.query) + " / " + row.name);
        setenv("QUERY_STRING", row.query, 1);
        EXPECT_EQ(std::string(cgi_query(row.name)), row.expected);
    }
}

TEST_F(CgiInput, QueryValueIsCutTo511Bytes) {
    struct Row {
        std::string value;
        std::string expected;
    } rows[] = {
        {std::string(600, 'v'), std::string(511, 'v')},
        {std::string(511, 'v'), std::string(511, 'v')},
        {[] {
             std::string s;
             for (int i = 0; i < 600; ++i)
                 s += "%41";
             return s;
         }(),
         std::string(511, 'A')},
        {std::string(510, 'v') + "%41%42", std::string(510, 'v') + "A"},
    };
    for (const Row &row : rows) {
        setenv("QUERY_STRING", ("x=" + row.value + "&y=2").c_str(), 1);
        EXPECT_EQ(std::string(cgi_query("x")), row.expected);
    }
}

TEST_F(CgiInput, EightResultsStayValidTheNinthReusesTheFirst) {
    setenv("QUERY_STRING", "a=0&b=1&c=2&d=3&e=4&f=5&g=6&h=7&i=8", 1);
    const char *names[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    const char *results[8];
    for (int i = 0; i < 8; ++i)
        results[i] = cgi_query(names[i]);
    // Lookups without a name answer "" and leave the buffers alone.
    EXPECT_STREQ(cgi_query(nullptr), "");
    EXPECT_STREQ(cgi_query(""), "");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(std::string(results[i]), std::to_string(i)) << names[i];
    const char *ninth = cgi_query("i");
    EXPECT_EQ(ninth, results[0]);
    EXPECT_STREQ(results[0], "8");
    EXPECT_STREQ(results[1], "1");
    // An absent parameter also takes (and empties) a buffer.
    EXPECT_STREQ(cgi_query("zz"), "");
    EXPECT_STREQ(results[1], "");
}

TEST_F(CgiInput, QueryFallsBackToTheEnvironmentOnlyWithoutAQueryString) {
    struct Row {
        std::optional<std::string> query;
        std::optional<std::string> page;
        std::string expected;
    } rows[] = {
        {std::nullopt, "3", "3"},
        {"", "3", "3"},
        {std::nullopt, "C:\\bin;D:\\tools", ""},
        {std::nullopt, "a;b", "a;b"},
        {std::nullopt, "http://x", "http://x"},
        {std::nullopt, "", ""},
        {std::nullopt, std::nullopt, ""},
        {"a=1", "3", ""},
        {"QF_TEST_PAGE=9", "3", "9"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.query.value_or("(unset)") + " / " + row.page.value_or("(unset)"));
        env_.set("QUERY_STRING", row.query);
        env_.set("QF_TEST_PAGE", row.page);
        EXPECT_EQ(std::string(cgi_query("QF_TEST_PAGE")), row.expected);
    }
    // The variable's own text is handed out, not a copy.
    unsetenv("QUERY_STRING");
    setenv("QF_TEST_PAGE", "7", 1);
    EXPECT_EQ(cgi_query("QF_TEST_PAGE"), getenv("QF_TEST_PAGE"));
}

// --- request body ---

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return s;
}

// What a streamed body looked like to its callback.
struct Stream {
    int rc = -2;
    uint64_t total = 12345;
    std::vector<size_t> chunks;
    std::string data;
    int stop_at = 0; // 1-based chunk on which the callback answers 1; 0 never

    static int collect(void *ctx, const void *chunk, size_t len) {
        auto *s = static_cast<Stream *>(ctx);
        s->chunks.push_back(len);
        if (static_cast<int>(s->chunks.size()) == s->stop_at) return 1;
        s->data.append(static_cast<const char *>(chunk), len);
        return 0;
    }
    void run() { rc = cgi_stream_post(collect, this, &total); }
    std::string summary() const {
        std::string s = "rc=" + std::to_string(rc) + " total=" + std::to_string(total) + " chunks=";
        for (size_t c : chunks)
            s += std::to_string(c) + ",";
        return s;
    }
};

std::string read_summary(const char *buf, uint64_t len) {
    if (!buf) return "none len=" + std::to_string(len);
    return "len=" + std::to_string(len) + " data=" + std::string(buf, len) +
           (buf[len] == '\0' ? " terminated" : " unterminated");
}

// Runs fn in a child whose standard input is a pipe fed with data (by a
// thread, so bodies larger than the pipe's buffer arrive in pieces), and
// answers what fn reported.
std::string with_stdin(const std::string &data, const std::function<std::string()> &fn) {
    testutil::ChildResult r = testutil::run_in_child([&] {
        signal(SIGPIPE, SIG_IGN);
        int p[2];
        if (pipe(p) != 0) _exit(90);
        std::thread writer([&] {
            size_t off = 0;
            while (off < data.size()) {
                ssize_t n = write(p[1], data.data() + off, std::min<size_t>(data.size() - off, 4096));
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
            close(p[1]);
        });
        dup2(p[0], 0);
        close(p[0]);
        std::string report = fn();
        close(0); // a reader that stopped early must not keep the writer waiting
        writer.join();
        fwrite(report.data(), 1, report.size(), stdout);
    });
    EXPECT_EQ(r.exit_code, 0);
    return r.out;
}

std::string read_post_summary() {
    uint64_t len = 999;
    char *buf = cgi_read_post(&len);
    std::string s = read_summary(buf, len);
    free(buf);
    return s;
}

std::string stream_summary() {
    Stream s;
    s.run();
    return s.summary() + " data=" + s.data;
}

TEST_F(CgiInput, BodyFromStandardInput) {
    const std::string big = pattern(131072);
    struct Row {
        const char *label;
        std::optional<std::string> content_length;
        std::string input;
        std::string body;    // what both readers deliver
        std::string chunks;  // chunk lengths the stream sees
        bool present = true; // false: no body at all
    } rows[] = {
        {"exact", "5", "hello", "hello", "5,"},
        {"short read", "10", "abcd", "abcd", "4,"},
        {"more input than announced", "4", "abcdefgh", "abcd", "4,"},
        {"two full chunks", "131072", big, big, "65536,65536,"},
        {"one byte past a chunk", "65537", big.substr(0, 65537), big.substr(0, 65537), "65536,1,"},
        {"binary bytes untouched", "6", std::string("\r\n\0\x1a\xff\n", 6), std::string("\r\n\0\x1a\xff\n", 6), "6,"},
        {"white space and sign before the number", " +3", "xyz", "xyz", "3,"},
        {"digits then letters", "3abc", "xyzw", "xyz", "3,"},
        {"zero", "0", "abc", "", "", false},
        {"negative", "-5", "abc", "", "", false},
        {"not a number", "abc", "abc", "", "", false},
        {"empty", "", "abc", "", "", false},
        {"unset", std::nullopt, "abc", "", "", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        env_.set("POST_BODY_FILE", std::nullopt);
        env_.set("CONTENT_LENGTH", row.content_length);
        const std::string expected_read =
            row.present ? "len=" + std::to_string(row.body.size()) + " data=" + row.body + " terminated" : "none len=0";
        EXPECT_EQ(with_stdin(row.input, read_post_summary), expected_read);
        EXPECT_EQ(with_stdin(row.input, stream_summary),
                  "rc=0 total=" + std::to_string(row.body.size()) + " chunks=" + row.chunks + " data=" + row.body);
    }
}

// A length past the 32-bit range counts as 2147483647: the stream then ends
// at the end of the data that really arrives.
TEST_F(CgiInput, HugeContentLengthStreamsWhatArrives) {
    env_.set("POST_BODY_FILE", std::nullopt);
    setenv("CONTENT_LENGTH", "99999999999", 1);
    EXPECT_EQ(with_stdin("12345", stream_summary), "rc=0 total=5 chunks=5, data=12345");
}

TEST_F(CgiInput, BodyFromFile) {
    const std::string big = pattern(100000);
    struct Row {
        const char *label;
        std::string file;
        std::string chunks;
    } rows[] = {
        {"empty file", "", ""},
        {"small", std::string("a\0b\r\n", 5), "5,"},
        {"one full chunk", big.substr(0, 65536), "65536,"},
        {"two full chunks", pattern(131072), "65536,65536,"},
        {"a full and a short chunk", big, "65536,34464,"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        testutil::write_all(dir / "body", row.file);
        setenv("POST_BODY_FILE", (dir / "body").c_str(), 1);
        setenv("CONTENT_LENGTH", "10", 1); // ignored: the file is the body
        EXPECT_EQ(read_post_summary(), "len=" + std::to_string(row.file.size()) + " data=" + row.file + " terminated");
        Stream s;
        s.run();
        EXPECT_EQ(s.summary(), "rc=0 total=" + std::to_string(row.file.size()) + " chunks=" + row.chunks);
        EXPECT_EQ(s.data, row.file);
    }
}

TEST_F(CgiInput, BodyFileThatDoesNotOpenFallsBackToStandardInput) {
    for (const std::string &file : {dir / "missing", std::string()}) {
        SCOPED_TRACE(file);
        setenv("POST_BODY_FILE", file.c_str(), 1);
        setenv("CONTENT_LENGTH", "3", 1);
        EXPECT_EQ(with_stdin("xyz", read_post_summary), "len=3 data=xyz terminated");
        EXPECT_EQ(with_stdin("xyz", stream_summary), "rc=0 total=3 chunks=3, data=xyz");
    }
    // With a readable file, standard input is not touched.
    testutil::write_all(dir / "body", "file");
    setenv("POST_BODY_FILE", (dir / "body").c_str(), 1);
    EXPECT_EQ(with_stdin("xyz",
                         [] {
                             std::string s = read_post_summary();
                             char rest[8] = "";
                             size_t n = fread(rest, 1, sizeof rest, stdin);
                             return s + " stdin=" + std::string(rest, n);
                         }),
              "len=4 data=file terminated stdin=xyz");
}

TEST_F(CgiInput, CallbackThatStops) {
    testutil::write_all(dir / "body", pattern(200000));
    setenv("POST_BODY_FILE", (dir / "body").c_str(), 1);
    struct Row {
        int stop_at;
        std::string summary;
    } rows[] = {
        {1, "rc=-1 total=0 chunks=65536,"},
        {2, "rc=-1 total=65536 chunks=65536,65536,"},
        {4, "rc=-1 total=196608 chunks=65536,65536,65536,3392,"},
    };
    for (const Row &row : rows) {
        Stream s;
        s.stop_at = row.stop_at;
        s.run();
        EXPECT_EQ(s.summary(), row.summary);
    }
    // From standard input the same.
    unsetenv("POST_BODY_FILE");
    setenv("CONTENT_LENGTH", "131072", 1);
    EXPECT_EQ(with_stdin(pattern(131072),
                         [] {
                             Stream s;
                             s.stop_at = 2;
                             s.run();
                             return s.summary();
                         }),
              "rc=-1 total=65536 chunks=65536,65536,");
}

TEST_F(CgiInput, FailuresAndMissingArguments) {
    // No callback: -1 before any source is looked at.
    testutil::write_all(dir / "body", "abc");
    setenv("POST_BODY_FILE", (dir / "body").c_str(), 1);
    uint64_t total = 77;
    EXPECT_EQ(cgi_stream_post(nullptr, nullptr, &total), -1);
    EXPECT_EQ(total, 0u);
    // The out-parameters are optional.
    char *buf = cgi_read_post(nullptr);
    ASSERT_NE(buf, nullptr);
    EXPECT_STREQ(buf, "abc");
    free(buf);
    Stream s;
    EXPECT_EQ(cgi_stream_post(Stream::collect, &s, nullptr), 0);
    EXPECT_EQ(s.data, "abc");

    // A body "file" that opens but cannot be read (a directory): no size for
    // the whole read, a read error for the stream.
    setenv("POST_BODY_FILE", dir.path().c_str(), 1);
    EXPECT_EQ(read_post_summary(), "none len=0");
    Stream err;
    err.run();
    EXPECT_EQ(err.summary(), "rc=-1 total=0 chunks=");

    // No body at all: nothing, 0, and the callback is never called.
    unsetenv("POST_BODY_FILE");
    unsetenv("CONTENT_LENGTH");
    EXPECT_EQ(read_post_summary(), "none len=0");
    Stream none;
    none.run();
    EXPECT_EQ(none.summary(), "rc=0 total=0 chunks=");
}

// A body file past the 32-bit size range is refused whole rather than read
// cut short (the file is sparse: nothing is written to disk).
TEST_F(CgiInput, BodyFileBeyond2GiBIsNotReadWhole) {
    const std::string path = dir / "huge";
    testutil::write_all(path, "");
    ASSERT_EQ(truncate(path.c_str(), (1LL << 31) + 10), 0);
    setenv("POST_BODY_FILE", path.c_str(), 1);
    EXPECT_EQ(read_post_summary(), "none len=0");
}

} // namespace
