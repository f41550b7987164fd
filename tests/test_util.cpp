// test_util.cpp - helpers shared by the test programs.
#include "tests/test_util.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testutil {

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "regtest-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_all(const std::string &path, const std::string &data) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool is_dir(const std::string &path) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(path, ec));
}

std::map<std::string, std::string> snapshot(const std::string &dir) {
    std::map<std::string, std::string> out;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        std::string path = entry.path().string();
        out[path] = entry.is_directory() ? "<dir>" : read_all(path);
    }
    return out;
}

std::string sha256_hex(const void *data, size_t len) {
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256(static_cast<const unsigned char *>(data), len, md);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : md) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

std::string sha256_hex(const std::string &data) { return sha256_hex(data.data(), data.size()); }

std::string sha256_digest(const std::string &data) { return "sha256:" + sha256_hex(data); }

ScopedCwd::ScopedCwd(const std::string &dir) {
    char buf[4096];
    if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd failed");
    old_ = buf;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter " + dir);
}

// A destructor may not throw; a test left in the wrong directory is reported as failed instead.
ScopedCwd::~ScopedCwd() {
    if (chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_;
}

EnvGuard::EnvGuard(const std::vector<const char *> &names) {
    for (const char *name : names)
        save(name);
}

// Restored newest first, so a name saved twice ends as it was first seen.
EnvGuard::~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second)
            setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            unsetenv(it->first.c_str());
    }
}

void EnvGuard::save(const std::string &name) {
    const char *value = getenv(name.c_str());
    saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
}

void EnvGuard::set(const char *name, const std::optional<std::string> &value) {
    auto known = [&](const auto &entry) { return entry.first == name; };
    if (std::none_of(saved_.begin(), saved_.end(), known)) save(name);
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

bool time_stamp_at(const std::string &s, size_t pos) {
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (pos + 20 > s.size()) return false;
    for (size_t i = 0; i < 20; ++i) {
        char c = s[pos + i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return false;
    }
    return true;
}

namespace {

std::string drain(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

int wait_exit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Everything the child writes to out_fd (which is then closed), and how it ended.
ChildResult collect(pid_t pid, int out_fd) {
    ChildResult result;
    result.out = drain(out_fd);
    close(out_fd);
    result.exit_code = wait_exit(pid);
    return result;
}

} // namespace

ChildResult run_in_child(const std::function<void()> &fn, const std::string &cwd) {
    int pipefd[2];
    if (pipe(pipefd) != 0) throw std::runtime_error("pipe failed");
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(pipefd[0]);
        dup2(pipefd[1], 1);
        close(pipefd[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(99);
        fn();
        exit(0);
    }
    close(pipefd[1]);
    return collect(pid, pipefd[0]);
}

ChildResult run_program(const std::string &program, const std::vector<std::string> &env, const std::string &cwd,
                        const std::string &stdin_data) {
    int outp[2], inp[2];
    if (pipe(outp) != 0 || pipe(inp) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outp[1], 1);
        dup2(inp[0], 0);
        close(outp[0]);
        close(outp[1]);
        close(inp[0]);
        close(inp[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(98);
        std::vector<char *> envp;
        for (const std::string &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
        execve(program.c_str(), argv, envp.data());
        _exit(97);
    }
    close(outp[1]);
    close(inp[0]);
    if (!stdin_data.empty()) {
        ssize_t ignored = write(inp[1], stdin_data.data(), stdin_data.size());
        (void)ignored;
    }
    close(inp[1]);
    return collect(pid, outp[0]);
}

// Standard alphabet with "=" padding.
std::string base64(const std::string &data) {
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16 | static_cast<unsigned char>(data[i + 1]) << 8 |
                     static_cast<unsigned char>(data[i + 2]);
        out += {abc[v >> 18], abc[(v >> 12) & 63], abc[(v >> 6) & 63], abc[v & 63]};
    }
    if (data.size() - i == 1) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        out += {abc[v >> 18], abc[(v >> 12) & 63], '=', '='};
    } else if (data.size() - i == 2) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16 | static_cast<unsigned char>(data[i + 1]) << 8;
        out += {abc[v >> 18], abc[(v >> 12) & 63], abc[(v >> 6) & 63], '='};
    }
    return out;
}

} // namespace testutil
