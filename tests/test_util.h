// test_util.h - temporary directories, files, reference digests, process state guards, and running code or
// programs in a child process.
#ifndef REGISTRY_TEST_UTIL_H
#define REGISTRY_TEST_UTIL_H

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

std::string read_all(const std::string &path);                    // "" when missing
void write_all(const std::string &path, const std::string &data); // creates parents
bool exists(const std::string &path);
bool is_dir(const std::string &path);

// Every entry below dir, mapped to "<dir>" or the file's contents, to show that nothing was written.
std::map<std::string, std::string> snapshot(const std::string &dir);

// SHA-256 computed by an implementation independent of the engine's own: lowercase hex, and as "sha256:<hex>".
std::string sha256_hex(const void *data, size_t len);
std::string sha256_hex(const std::string &data);
// Standard Base64 alphabet with "=" padding.
std::string base64(const std::string &data);
std::string sha256_digest(const std::string &data);

// Changes the working directory for its lifetime. A directory it cannot enter
// throws, so a test never runs where it did not mean to.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string &dir);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd &) = delete;
    ScopedCwd &operator=(const ScopedCwd &) = delete;

private:
    std::string old_;
};

// Puts environment variables back as they were when it goes: the named ones,
// and any other that set() changes.
class EnvGuard {
public:
    explicit EnvGuard(const std::vector<const char *> &names);
    ~EnvGuard();
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;
    // Sets name to value, or removes it when value is empty (nullopt).
    void set(const char *name, const std::optional<std::string> &value);

private:
    void save(const std::string &name);
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// True when s holds a UTC time stamp "YYYY-MM-DDTHH:MM:SSZ" at pos.
bool time_stamp_at(const std::string &s, size_t pos);

struct ChildResult {
    int exit_code = -1; // -1 when the child did not exit normally
    std::string out;    // everything the child wrote to standard output
};

// Runs fn in a forked child whose standard output is captured; when cwd is not
// empty the child changes into it first. A child whose fn returns ends through
// exit(0), so exit handlers run as they would in a real process.
ChildResult run_in_child(const std::function<void()> &fn, const std::string &cwd = "");

// Runs a program with exactly the given environment ("NAME=value" entries),
// in cwd, with stdin_data on its standard input.
ChildResult run_program(const std::string &program, const std::vector<std::string> &env, const std::string &cwd,
                        const std::string &stdin_data = "");

} // namespace testutil

#endif
