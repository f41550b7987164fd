// Tests for the access log in cgi/qf_audit.h; every case runs in its own process.
#include "cgi/qf_audit.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cgi/qf_cgi.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

using testutil::ChildResult;
using testutil::TempDir;

constexpr char kLogName[] = "registry_access.log";
// Stands in for the time stamp; as long as the real one, so cut positions stay the same.
constexpr char kTs[] = "YYYY-MM-DDTHH:MM:SSZ";

// One request's process: a working directory with a log directory "registry_storage",
// an optional settings file and the CGI variables the child sees.
class Request {
public:
    Request() { std::filesystem::create_directories(dir_ / "registry_storage"); }

    void settings(const std::string &text) { testutil::write_all(dir_ / "config.json", text); }
    void env(const char *name, const std::string &value) { env_.emplace_back(name, value); }
    const std::string &root() const { return dir_.path(); }
    std::string at(const std::string &rel) const { return dir_ / rel; }
    std::string log() const { return testutil::read_all(at("registry_storage/registry_access.log")); }
    bool log_exists() const { return testutil::exists(at("registry_storage/registry_access.log")); }

    ChildResult run(const std::function<void()> &fn) {
        return testutil::run_in_child(
            [&] {
                for (const char *name : {"REGISTRY_STORAGE_ROOT", "REQUEST_METHOD", "PATH_INFO"})
                    unsetenv(name);
                for (const auto &[name, value] : env_)
                    setenv(name, value.c_str(), 1);
                tzset(); // as a process started with this environment would see it
                fn();
            },
            dir_.path());
    }

private:
    TempDir dir_;
    std::vector<std::pair<const char *, std::string>> env_;
};

// The getters, printed by the child for the parent to compare.
void print_getters() {
    printf("path=%s cap=%lld enabled=%d size=%lld\n", qf_audit_log_path(), static_cast<long long>(qf_audit_cap_bytes()),
           qf_audit_enabled(), static_cast<long long>(qf_audit_log_bytes()));
}

std::string getters(const std::string &path, long long cap, int enabled, long long size) {
    return "path=" + path + " cap=" + std::to_string(cap) + " enabled=" + std::to_string(enabled) +
           " size=" + std::to_string(size) + "\n";
}

// The getters of a log that is on in dir, or off, before any line is written.
std::string getters_unwritten(bool on, const std::string &dir, long long cap) {
    return on ? getters(dir + "/" + kLogName, cap, 1, -1) : getters("", cap, 0, -1);
}

// A request that ends with status 200 and then shows the getters.
void status_200_then_getters() {
    qf_audit_note_status(200);
    print_getters();
}

using testutil::time_stamp_at;

std::vector<size_t> time_stamps(const std::string &text) {
    std::vector<size_t> found;
    for (size_t i = 0; i < text.size();) {
        if (time_stamp_at(text, i)) {
            found.push_back(i);
            i += 20;
        } else {
            ++i;
        }
    }
    return found;
}

// Each logged line carries its time stamp twice, identical; both are replaced by kTs.
std::string mask_time(const std::string &log) {
    size_t lines = 0;
    for (char c : log)
        lines += c == '\n';
    if (!log.empty() && log.back() != '\n') ++lines;
    std::vector<size_t> found = time_stamps(log);
    EXPECT_EQ(found.size(), 2 * lines) << log;
    for (size_t i = 0; i + 1 < found.size(); i += 2)
        EXPECT_EQ(log.substr(found[i], 20), log.substr(found[i + 1], 20));
    std::string masked = log;
    for (size_t pos : found)
        masked.replace(pos, 20, kTs);
    return masked;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
    return text;
}

std::string utc_now() {
    time_t now = time(nullptr);
    struct tm tm_utc;
    gmtime_r(&now, &tm_utc);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
    return buf;
}

// The line as the log should hold it, with both cuts applied and kTs for the time.
// Path and method are given as both parts show them (plain characters only) unless path_json is given.
struct Logged {
    std::string actor_text = "anonymous", actor_json = "anonymous";
    std::string client_text = "-", client_json = "-";
    std::string path_json; // "" when the same as the plain-text path
};

std::string line(const std::string &method, const std::string &path, long long bytes, int status, const Logged &l) {
    const std::string &path_json = l.path_json.empty() ? path : l.path_json;
    std::string json = std::string("{\"ts\":\"") + kTs + "\",\"method\":\"" + method + "\",\"path\":\"" +
                       path_json + "\",\"status\":" + std::to_string(status) + ",\"bytes\":" + std::to_string(bytes) +
                       ",\"actor\":\"" + l.actor_json + "\",\"client\":\"" + l.client_json + "\"}";
    json = json.substr(0, 1199);
    std::string text = method + " " + path + " " + std::to_string(bytes) + " " + std::to_string(status) + " " +
                       l.actor_text + " " + l.client_text + " " + kTs + " " + json + "\n";
    return text.substr(0, 2399);
}

std::string line(const std::string &method, const std::string &path, long long bytes, int status,
                 const std::string &actor_text, const std::string &actor_json) {
    Logged l;
    l.actor_text = actor_text;
    l.actor_json = actor_json;
    return line(method, path, bytes, status, l);
}

std::string line(const std::string &method, const std::string &path, long long bytes, int status) {
    return line(method, path, bytes, status, Logged{});
}

TEST(AuditLine, DeletionLogsDocumentedLine) {
    Request req;
    req.env("REQUEST_METHOD", "DELETE");
    req.env("PATH_INFO", "/v2/library/ubuntu");
    req.env("TZ", "QFT-05:45"); // a local zone far from UTC shows up in the stamp
    req.env("REMOTE_ADDR", "192.0.2.10");
    std::string before = utc_now();
    ChildResult res = req.run([] {
        cgi_header_status(202, "Accepted");
        cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
        cgi_headers_end();
    });
    std::string after = utc_now();
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, "Status: 202 Accepted\r\nDocker-Distribution-API-Version: registry/2.0\r\n\r\n");

    std::string log = req.log();
    EXPECT_EQ(mask_time(log), "DELETE /v2/library/ubuntu 0 202 anonymous 192.0.2.10 YYYY-MM-DDTHH:MM:SSZ "
                              "{\"ts\":\"YYYY-MM-DDTHH:MM:SSZ\",\"method\":\"DELETE\",\"path\":\"/v2/library/ubuntu\","
                              "\"status\":202,\"bytes\":0,\"actor\":\"anonymous\",\"client\":\"192.0.2.10\"}\n");
    std::vector<size_t> found = time_stamps(log);
    ASSERT_FALSE(found.empty());
    std::string ts = log.substr(found[0], 20);
    // UTC, taken while the child ran.
    EXPECT_LE(before, ts);
    EXPECT_LE(ts, after);
}

TEST(AuditLine, DefaultsForMethodPathBytesActorAndDirectory) {
    Request req;
    ChildResult res = req.run(status_200_then_getters);
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, getters("./registry_storage/registry_access.log", 5242880, 1, -1));
    EXPECT_EQ(mask_time(req.log()), line("GET", "/", 0, 200));
}

TEST(AuditLine, NoPositiveStatusNoLine) {
    struct Row {
        const char *name;
        std::function<void()> steps;
    };
    const std::vector<Row> rows = {
        {"nothing noted", [] { print_getters(); }},
        {"bytes and actor only",
         [] {
             qf_audit_note_bytes(120);
             qf_audit_note_actor("alice");
         }},
        {"headers without status",
         [] {
             cgi_header_json();
             cgi_headers_end();
         }},
        {"status 0", [] { cgi_header_status(0, nullptr); }},
        {"negative status", [] { qf_audit_note_status(-404); }},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Request req;
        ChildResult res = req.run(r.steps);
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_FALSE(req.log_exists());
    }
}

TEST(AuditLine, LastPositiveValueWins) {
    Request req;
    req.env("REQUEST_METHOD", "PUT");
    req.env("PATH_INFO", "/v2/a/manifests/1");
    ChildResult res = req.run([] {
        qf_audit_note_status(201);
        qf_audit_note_bytes(10);
        qf_audit_note_actor("alice");
        qf_audit_note_status(404);
        qf_audit_note_bytes(25);
        qf_audit_note_actor("bob");
        qf_audit_note_status(0);
        qf_audit_note_status(-1);
        qf_audit_note_bytes(0);
        qf_audit_note_bytes(-7);
        qf_audit_note_actor("");
        qf_audit_note_actor(nullptr);
    });
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(mask_time(req.log()), line("PUT", "/v2/a/manifests/1", 25, 404, "bob", "bob"));
}

TEST(AuditLine, LargeByteCountIsNotTruncated) {
    Request req;
    ChildResult res = req.run([] {
        qf_audit_note_status(200);
        qf_audit_note_bytes(8589934592LL);
    });
    EXPECT_EQ(mask_time(req.log()), line("GET", "/", 8589934592LL, 200));
}

// Whatever a request puts in a field, the plain-text part keeps its eight
// space-separated fields (the JSON object last) and the line its one line feed: the forgeries below
// come out as \xNN in the text and as JSON escapes in the object.
TEST(AuditLine, HostileValuesCannotForgeFieldsOrLines) {
    enum Field { kMethod, kPath, kActor, kClientEnv, kClientNoted };
    struct Row {
        const char *name;
        Field field;
        std::string value;
        std::string text;
        std::string json;
    };
    const std::vector<Row> rows = {
        {"a second line in the path", kPath, "/v2/x\n GET /v2/admin 0 200 admin",
         "/v2/x\\x0a\\x20GET\\x20/v2/admin\\x200\\x20200\\x20admin", "/v2/x\\n GET /v2/admin 0 200 admin"},
        {"every control and escape character", kPath, "/a b\tc\rd\"e\\f\x01g\x08h\x0ci\x1fj\x7fk",
         "/a\\x20b\\x09c\\x0dd\\x22e\\x5cf\\x01g\\x08h\\x0ci\\x1fj\\x7fk",
         "/a b\\tc\\rd\\\"e\\\\f\\u0001g\\u0008h\\u000ci\\u001fj\\u007fk"},
        {"bytes above ASCII, one escape each", kPath, "/\xc3\xa9\xe2\x80\xae\xff", "/\\xc3\\xa9\\xe2\\x80\\xae\\xff",
         "/\\u00c3\\u00a9\\u00e2\\u0080\\u00ae\\u00ff"},
        {"terminal escape sequence", kPath, "/\x1b[2J\x1b[31mok", "/\\x1b[2J\\x1b[31mok", "/\\u001b[2J\\u001b[31mok"},
        {"an escape spelled out stays apart from a real one", kPath, "/a\\x41", "/a\\x5cx41", "/a\\\\x41"},
        {"an actor with a space", kActor, "alice 10.0.0.1", "alice\\x2010.0.0.1", "alice 10.0.0.1"},
        {"an actor closing the JSON string", kActor, "x\",\"actor\":\"admin", "x\\x22,\\x22actor\\x22:\\x22admin",
         "x\\\",\\\"actor\\\":\\\"admin"},
        {"a method with fields", kMethod, "GET /v2/ 0 200 root", "GET\\x20/v2/\\x200\\x20200\\x20root",
         "GET /v2/ 0 200 root"},
        {"a method with a quote", kMethod, "G\"ET", "G\\x22ET", "G\\\"ET"},
        {"the address of the environment", kClientEnv, "192.0.2.1 forged\n", "192.0.2.1\\x20forged\\x0a",
         "192.0.2.1 forged\\n"},
        {"an address noted by the front door", kClientNoted, "2001:db8::1%eth0 x", "2001:db8::1%eth0\\x20x",
         "2001:db8::1%eth0 x"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Request req;
        req.env("REMOTE_ADDR", "192.0.2.99");
        if (r.field == kMethod) req.env("REQUEST_METHOD", r.value);
        if (r.field == kPath) req.env("PATH_INFO", r.value);
        if (r.field == kClientEnv) req.env("REMOTE_ADDR", r.value);
        ChildResult res = req.run([&] {
            if (r.field == kActor) qf_audit_note_actor(r.value.c_str());
            if (r.field == kClientNoted) qf_audit_note_client(r.value.c_str());
            qf_audit_note_status(200);
        });
        EXPECT_EQ(res.exit_code, 0);
        Logged l;
        l.client_text = l.client_json = "192.0.2.99";
        std::string method = "GET", path = "/";
        if (r.field == kMethod) method = r.text;
        if (r.field == kPath) {
            path = r.text;
            l.path_json = r.json;
        }
        if (r.field == kActor) l.actor_text = r.text, l.actor_json = r.json;
        if (r.field == kClientEnv || r.field == kClientNoted) l.client_text = r.text, l.client_json = r.json;
        std::string expected = line(method, path, 0, 200, l);
        if (r.field == kMethod) {
            size_t at = expected.find("\"method\":\"") + 10;
            expected.replace(at, r.text.size(), r.json);
        }
        std::string log = req.log();
        EXPECT_EQ(mask_time(log), expected);
        // Printable ASCII but for the one line feed at the end, and seven fields before the object.
        for (size_t i = 0; i + 1 < log.size(); ++i)
            EXPECT_TRUE(log[i] >= 0x20 && log[i] < 0x7f) << i;
        EXPECT_EQ(log.find('\n'), log.size() - 1);
        std::string head = log.substr(0, log.find(" {"));
        EXPECT_EQ(std::count(head.begin(), head.end(), ' '), 6) << head;
    }
}

TEST(AuditLine, LongPathIsCutToWholeEscapes) {
    struct Row {
        std::string path;
        std::string logged;
        std::string json = ""; // "" when the same
    };
    auto repeat = [](const std::string &s, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += s;
        return out;
    };
    const Row rows[] = {
        {std::string(1000, 'a'), std::string(893, 'a')},
        {std::string(893, 'a'), std::string(893, 'a')},
        {std::string(892, 'a') + "\x01", std::string(892, 'a') + "\\x01", std::string(892, 'a') + "\\u0001"},
        {std::string(1000, '\x01'), repeat("\\x01", 224), repeat("\\u0001", 149)},
        {std::string(1000, '"'), repeat("\\x22", 224), repeat("\\\"", 447)},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.logged.substr(0, 12) + " x" + std::to_string(r.logged.size()));
        Request req;
        req.env("PATH_INFO", r.path);
        ChildResult res = req.run([] { qf_audit_note_status(200); });
        EXPECT_EQ(res.exit_code, 0);
        Logged l;
        l.path_json = r.json;
        EXPECT_EQ(mask_time(req.log()), line("GET", r.logged, 0, 200, l));
    }
}

TEST(AuditLine, ActorIsCutTo159) {
    struct Row {
        std::string actor;
        std::string text;
        std::string json;
    };
    std::string quotes157;
    for (int i = 0; i < 157; ++i)
        quotes157 += "\\\"";
    auto repeat_x22 = [](int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += "\\x22";
        return out;
    };
    const Row rows[] = {
        {std::string(200, 'b'), std::string(159, 'b'), std::string(159, 'b')},
        {std::string(159, 'b'), std::string(159, 'b'), std::string(159, 'b')},
        // Escaped, 159 quotes outgrow the 320-byte escape buffers.
        {std::string(200, '"'), repeat_x22(79), quotes157},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.actor.substr(0, 1) + " x" + std::to_string(r.actor.size()));
        Request req;
        ChildResult res = req.run([&] {
            qf_audit_note_actor(r.actor.c_str());
            qf_audit_note_status(200);
        });
        EXPECT_EQ(mask_time(req.log()), line("GET", "/", 0, 200, r.text, r.json));
    }
}

TEST(AuditLine, OverLongLineIsCutAndLosesLineFeed) {
    // A long method fills the JSON object to its 1199-character limit; then the
    // line is method + 1242 characters, so 1157 fills 2399 exactly.
    struct Row {
        size_t method_len;
        bool ends_with_lf;
    };
    const Row rows[] = {{1157, true}, {1158, false}, {2000, false}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.method_len);
        Request req;
        std::string method(r.method_len, 'M');
        req.env("REQUEST_METHOD", method);
        ChildResult res = req.run([] { qf_audit_note_status(200); });
        EXPECT_EQ(res.exit_code, 0);
        std::string log = req.log();
        EXPECT_EQ(log.size(), 2399u);
        EXPECT_EQ(!log.empty() && log.back() == '\n', r.ends_with_lf);
        EXPECT_EQ(mask_time(log), line(method, "/", 0, 200));
    }
}

TEST(AuditSettings, SwitchOnAndOff) {
    struct Row {
        const char *name;
        std::optional<std::string> settings;
        bool use_env_root;
        bool on;
        long long cap = 5242880;
    };
    const std::vector<Row> rows = {
        {"0", R"({"registry_access_log": 0})", false, false},
        {"quoted 0", R"({"registry_access_log": "0"})", false, false},
        {"spaced 0", "{\"registry_access_log\" :\n\t\r 0}", false, false},
        {"0 with env root", R"({"registry_access_log":0})", true, false},
        {"0 keeps the cap", R"({"registry_access_log_max_bytes": 64, "registry_access_log": 0})", false, false, 64},
        {"false", R"({"registry_access_log": false})", false, true},
        {"true", R"({"registry_access_log": true})", false, true},
        {"1", R"({"registry_access_log": 1})", false, true},
        {"-1", R"({"registry_access_log": -1})", false, true},
        {"quoted 1", R"({"registry_access_log": "1"})", false, true},
        {"missing key", R"({"other": 0})", false, true},
        {"only max_bytes 0", R"({"registry_access_log_max_bytes": 0})", false, true, 0},
        {"empty file", "", false, true},
        {"no file", std::nullopt, false, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Request req;
        if (r.settings) req.settings(*r.settings);
        std::string dir = "./registry_storage";
        if (r.use_env_root) {
            dir = req.at("registry_storage");
            req.env("REGISTRY_STORAGE_ROOT", dir);
        }
        ChildResult res = req.run(status_200_then_getters);
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_EQ(res.out, getters_unwritten(r.on, dir, r.cap));
        if (r.on) {
            EXPECT_EQ(mask_time(req.log()), line("GET", "/", 0, 200));
        } else {
            EXPECT_FALSE(req.log_exists());
        }
    }
}

TEST(AuditSettings, SizeCap) {
    struct Row {
        std::optional<std::string> settings;
        long long cap;
    };
    const std::vector<Row> rows = {
        {std::nullopt, 5242880},
        {"", 5242880},
        {R"({"other": 1})", 5242880},
        {R"({"registry_access_log_max_bytes": 1000})", 1000},
        {R"({"registry_access_log_max_bytes": "2048"})", 2048},
        {"{\"registry_access_log_max_bytes\":\n\t 77,}", 77},
        {R"({"registry_access_log_max_bytes": 0})", 0},
        {R"({"registry_access_log_max_bytes": -1})", 0},
        {R"({"registry_access_log_max_bytes": -})", 0},
        {R"({"registry_access_log_max_bytes": 12abc})", 12},
        {R"({"registry_access_log_max_bytes": null})", 5242880},
        {R"({"registry_access_log_max_bytes": 9223372036854775807})", 9223372036854775807LL},
        {R"({"registry_access_log_max_bytes": 99999999999999999999999})", 9223372036854775807LL},
        {R"({"registry_access_log_max_bytes": -99999999999999999999999})", 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.settings ? *r.settings : "no file");
        Request req;
        if (r.settings) req.settings(*r.settings);
        ChildResult res = req.run([] { printf("%lld\n", static_cast<long long>(qf_audit_cap_bytes())); });
        EXPECT_EQ(res.out, std::to_string(r.cap) + "\n");
    }
}

TEST(AuditRotation, RotatesOnlyWhenLineWouldPassCap) {
    const std::string entry = line("GET", "/p", 0, 200);
    const long long cap = 1000;
    struct Row {
        const char *name;
        const char *cap_setting;
        std::optional<long long> existing; // size of the log before the request
        bool rotated;
    };
    const std::vector<Row> rows = {
        {"exactly at cap", "1000", cap - static_cast<long long>(entry.size()), false},
        {"one byte over", "1000", cap - static_cast<long long>(entry.size()) + 1, true},
        {"far over", "1000", 5000, true},
        {"no file yet, line above cap", "10", std::nullopt, false},
        {"cap 0", "0", 5000, false},
        {"cap -1", "-1", 5000, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Request req;
        req.settings(std::string("{\"registry_access_log_max_bytes\": ") + r.cap_setting + "}");
        req.env("PATH_INFO", "/p");
        const std::string older = "older generation\n";
        testutil::write_all(req.at("registry_storage/registry_access.log.1"), older);
        std::string existing = r.existing ? std::string(static_cast<size_t>(*r.existing), 'x') : "";
        if (r.existing) testutil::write_all(req.at("registry_storage/registry_access.log"), existing);

        ChildResult res = req.run([] { qf_audit_note_status(200); });
        EXPECT_EQ(res.exit_code, 0);
        std::string rotated = testutil::read_all(req.at("registry_storage/registry_access.log.1"));
        if (r.rotated) {
            EXPECT_EQ(rotated, existing);
            EXPECT_EQ(mask_time(req.log()), entry);
        } else {
            EXPECT_EQ(rotated, older);
            std::string log = req.log();
            ASSERT_EQ(log.substr(0, existing.size()), existing);
            EXPECT_EQ(mask_time(log.substr(existing.size())), entry);
        }
    }
}

TEST(AuditRotation, FailedRenameStillAppendsTheLine) {
    Request req;
    req.settings(R"({"registry_access_log_max_bytes": 100})");
    const std::string existing(500, 'x');
    testutil::write_all(req.at("registry_storage/registry_access.log"), existing);
    testutil::write_all(req.at("registry_storage/registry_access.log.1"), "older generation\n");
    ChildResult res = req.run([] {
        plat_fault_inject(PLAT_OP_RENAME, 1);
        qf_audit_note_status(200);
    });
    EXPECT_EQ(res.exit_code, 0);
    // The older generation was removed before the rename failed.
    EXPECT_FALSE(testutil::exists(req.at("registry_storage/registry_access.log.1")));
    std::string log = req.log();
    ASSERT_EQ(log.substr(0, existing.size()), existing);
    EXPECT_EQ(mask_time(log.substr(existing.size())), line("GET", "/", 0, 200));
}

TEST(AuditLocation, DirectoryChoice) {
    struct Row {
        const char *name;
        std::optional<std::string> env;      // relative to the working directory
        std::optional<std::string> settings; // "@" stands for the working directory
        std::string dir;                     // where the line lands; "" when the log is off
    };
    const std::string long_value(1399, 'z');
    const std::string too_long_value(1400, 'z');
    const std::vector<Row> rows = {
        {"variable first", "envdir", R"({"registry_storage_root": "@/primary", "storage_root": "@/secondary"})",
         "envdir"},
        {"registry_storage_root over storage_root", std::nullopt,
         R"({"registry_storage_root": "@/primary", "storage_root": "@/secondary"})", "primary"},
        {"registry_storage_root wins wherever it stands", std::nullopt,
         R"({"storage_root": "@/secondary", "registry_storage_root": "@/primary"})", "primary"},
        {"empty variable ignored", "", R"({"storage_root": "@/secondary"})", "secondary"},
        {"empty value taken, then default", std::nullopt,
         R"({"registry_storage_root": "", "storage_root": "@/secondary"})", "registry_storage"},
        {"1399-character value taken, path too long", std::nullopt,
         R"({"registry_storage_root": ")" + long_value + R"(", "storage_root": "@/secondary"})", ""},
        {"1400-character value ignored", std::nullopt,
         R"({"registry_storage_root": ")" + too_long_value + R"(", "storage_root": "@/secondary"})", "secondary"},
        {"unterminated value ignored", std::nullopt, R"({"storage_root": "@/secondary", "registry_storage_root": "x)",
         "secondary"},
        {"no keys", std::nullopt, R"({"other": "x"})", "registry_storage"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Request req;
        for (const char *d : {"envdir", "primary", "secondary"})
            std::filesystem::create_directories(req.at(d));
        if (r.env) req.env("REGISTRY_STORAGE_ROOT", r.env->empty() ? "" : req.at(*r.env));
        if (r.settings) req.settings(replace_all(*r.settings, "@", req.root()));
        ChildResult res = req.run([] {
            qf_audit_note_status(200);
            printf("%s\n", qf_audit_log_path());
        });
        EXPECT_EQ(res.exit_code, 0);
        std::string expected_path;
        if (r.dir == "registry_storage")
            expected_path = std::string("./registry_storage/") + kLogName;
        else if (!r.dir.empty())
            expected_path = req.at(r.dir) + "/" + kLogName;
        EXPECT_EQ(res.out, expected_path + "\n");
        for (const char *d : {"envdir", "primary", "secondary", "registry_storage"}) {
            std::string log = testutil::read_all(req.at(d) + "/" + kLogName);
            if (d == r.dir) {
                EXPECT_EQ(mask_time(log), line("GET", "/", 0, 200)) << d;
            } else {
                EXPECT_EQ(log, "") << d;
            }
        }
    }
}

TEST(AuditLocation, OverLongLogPathSwitchesLogOff) {
    // "/" and "registry_access.log" add 20 characters to the directory.
    struct Row {
        size_t dir_len;
        bool on;
    };
    const Row rows[] = {{1379, true}, {1380, false}, {3000, false}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.dir_len);
        Request req;
        std::string dir = "/" + std::string(r.dir_len - 1, 'd');
        req.env("REGISTRY_STORAGE_ROOT", dir);
        ChildResult res = req.run(status_200_then_getters);
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_EQ(res.out, getters_unwritten(r.on, dir, 5242880));
    }
}

TEST(AuditLocation, MissingDirectoryLosesLineSilently) {
    Request req;
    req.env("REGISTRY_STORAGE_ROOT", req.at("absent"));
    ChildResult res = req.run([] { cgi_header_status(200, "OK"); });
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, "Status: 200 OK\r\n");
    EXPECT_FALSE(testutil::exists(req.at("absent")));
    EXPECT_FALSE(req.log_exists());
}

TEST(AuditFlush, WritesAtMostOneLine) {
    const std::string entry = line("GET", "/", 7, 201);
    struct Row {
        const char *name;
        std::function<void()> steps;
        std::string out;
    };
    const std::vector<Row> rows = {
        {"explicit flush, later notes ignored",
         [] {
             qf_audit_note_status(201);
             qf_audit_note_bytes(7);
             printf("%lld ", static_cast<long long>(qf_audit_log_bytes()));
             qf_audit_flush();
             printf("%lld ", static_cast<long long>(qf_audit_log_bytes()));
             qf_audit_note_status(500);
             qf_audit_note_bytes(99);
             qf_audit_flush();
             printf("%lld\n", static_cast<long long>(qf_audit_log_bytes()));
         },
         "-1 " + std::to_string(entry.size()) + " " + std::to_string(entry.size()) + "\n"},
        {"flush before any status writes nothing yet",
         [] {
             qf_audit_flush();
             printf("%lld\n", static_cast<long long>(qf_audit_log_bytes()));
             qf_audit_note_bytes(7);
             qf_audit_note_status(201);
         },
         "-1\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Request req;
        ChildResult res = req.run(r.steps);
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_EQ(res.out, r.out);
        EXPECT_EQ(mask_time(req.log()), entry);
    }
}

// A process that answers many requests: each starts without the last one's
// status, bytes, actor and client, gets its own line, and sees an edit of the
// settings (the log switched off, then on again) at its start.
TEST(AuditRequests, EachRequestStartsAfreshAndSeesSettingsEdits) {
    Request req;
    ChildResult res = req.run([&req] {
        qf_audit_note_status(401);
        qf_audit_note_bytes(5);
        qf_audit_note_actor("alice");
        qf_audit_note_client("10.0.0.1");
        qf_audit_flush();

        qf_audit_begin_request();
        qf_audit_note_status(404);
        qf_audit_flush();

        req.settings("{\"registry_access_log\": 0}");
        qf_audit_begin_request();
        qf_audit_note_status(200);
        qf_audit_flush();

        unlink(req.at("config.json").c_str());
        qf_audit_begin_request();
        qf_audit_note_status(500);
        // Written at exit, once.
    });
    EXPECT_EQ(res.exit_code, 0);
    Logged first;
    first.actor_text = first.actor_json = "alice";
    first.client_text = first.client_json = "10.0.0.1";
    EXPECT_EQ(mask_time(req.log()),
              line("GET", "/", 5, 401, first) + line("GET", "/", 0, 404) + line("GET", "/", 0, 500));
}

// A process answering many requests keeps the log open: a line costs a look
// at the path and a write. A log moved away (rotated by another program) or
// removed is followed: the next line goes to a new file at the path, never to
// the moved one; the log's own rotation at its cap likewise.
TEST(AuditRequests, TheKeptLogFollowsTheFileAtItsPath) {
    Request req;
    const std::string log = req.at("registry_storage/registry_access.log");
    ChildResult res = req.run([&] {
        auto request = [](int status) {
            qf_audit_begin_request();
            qf_audit_note_status(status);
            qf_audit_flush();
        };
        request(201);
        plat_op_counts_reset();
        request(202);
        printf("open=%llu write=%llu close=%llu\n", static_cast<unsigned long long>(plat_op_count(PLAT_OP_OPEN_APPEND)),
               static_cast<unsigned long long>(plat_op_count(PLAT_OP_WRITE)),
               static_cast<unsigned long long>(plat_op_count(PLAT_OP_CLOSE)));
        rename(log.c_str(), (log + ".moved").c_str());
        request(203);
        // The kept file removed altogether.
        rename(log.c_str(), (log + ".second").c_str());
        unlink((log + ".second").c_str());
        request(204);
        // Room for one line and a bit: each line after the first moves the
        // one before aside.
        req.settings("{\"registry_access_log_max_bytes\": 200}");
        rename(log.c_str(), (log + ".third").c_str());
        request(205);
        request(206);
        request(207);
    });
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, "open=0 write=1 close=0\n");
    EXPECT_EQ(mask_time(testutil::read_all(log + ".moved")), line("GET", "/", 0, 201) + line("GET", "/", 0, 202));
    EXPECT_EQ(mask_time(testutil::read_all(log + ".third")), line("GET", "/", 0, 204));
    EXPECT_EQ(mask_time(testutil::read_all(log + ".1")), line("GET", "/", 0, 206));
    EXPECT_EQ(mask_time(req.log()), line("GET", "/", 0, 207));
}

} // namespace
