// test_util.h - temporary directories, files, and running code or programs in a child process.
#ifndef REGISTRY_TEST_UTIL_H
#define REGISTRY_TEST_UTIL_H

#include <functional>
#include <string>
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
