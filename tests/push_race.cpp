// push_race.cpp - processes pushing images through the engine while others collect back to back, and a check
// of the whole tree afterwards.
#include "tests/push_race.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "storage/reg_storage.h"

namespace pushrace {

namespace {

namespace fs = std::filesystem;

constexpr int kSharedLayers = 4;
constexpr size_t kMessageMax = 240;
constexpr int kMessagesKept = 5;
// A blob finished this recently is kept by every run, whatever the grace period.
constexpr long kPromiseMs = 1000;

std::string old_layer(int i) { return "old layer " + std::to_string(i); }

long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string hex_of(const std::string &data) {
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), md);
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i)
        snprintf(hex + 2 * i, 3, "%02x", md[i]);
    return hex;
}

// What one child reports through its pipe.
struct child_counts {
    long pushes, tag_deletes, collections, refusals, push_violations, late_failures, head_failures, other_errors;
    long blobs_deleted, delete_errors;
    long deletions, deletions_refused, lost_to_deletions;
    char message[kMessageMax];
};

void note(child_counts &c, const std::string &what) {
    if (c.message[0] == '\0') snprintf(c.message, sizeof c.message, "%s", what.c_str());
}

class pusher {
public:
    pusher(int index, long deadline, bool deletions, int old_layers)
        : index_(index), deadline_(deadline), deletions_(deletions), old_layers_(old_layers),
          rng_(getpid() * 7919u + index) {}

    void run(child_counts &c) {
        // At least one push, however slow the machine.
        long n = 0;
        do {
            push_one(c, n++);
        } while (now_ms() < deadline_);
    }

private:
    std::string random_bytes(size_t n) {
        std::string out(n, '\0');
        for (char &ch : out)
            ch = static_cast<char>(rng_() & 0xFF);
        return out;
    }

    // Uploads in two chunks, as a chunked push does; false on a failure (noted).
    bool upload(child_counts &c, const std::string &data, const std::string &digest) {
        char id[64], out[80];
        size_t half = data.size() / 2;
        if (reg_blob_start_upload(id) != 0 || reg_blob_append_chunk(id, data.data(), half) != 0 ||
            reg_blob_append_chunk(id, data.data() + half, data.size() - half) != 0 ||
            reg_blob_finish_upload(id, digest.c_str(), out) != 0) {
            ++c.other_errors;
            note(c, std::string("upload: ") + reg_storage_last_error());
            return false;
        }
        finished_[digest] = now_ms();
        return true;
    }

    void push_one(child_counts &c, long n) {
        finished_.clear();
        std::string config = R"({"pusher":)" + std::to_string(index_) + R"(,"n":)" + std::to_string(n) + R"(,"r":)" +
                             std::to_string(rng_()) + "}";
        std::string layer = random_bytes(2048);
        // Either a layer many pushes share, or one pushed long ago that
        // nothing may name any more: a collection is about to remove it.
        std::string shared = rng_() % 2 == 0 || old_layers_ == 0
                                 ? "shared layer " + std::to_string(rng_() % kSharedLayers) + std::string(3000, 's')
                                 : old_layer(static_cast<int>(rng_() % old_layers_));
        std::string config_d = "sha256:" + hex_of(config), layer_d = "sha256:" + hex_of(layer),
                    shared_d = "sha256:" + hex_of(shared);
        // Most pushes skip the shared layer when a presence check finds it, as clients do.
        bool skip_shared = rng_() % 4 != 0 && reg_blob_exists(shared_d.c_str()) == 1;
        if (!upload(c, config, config_d) || !upload(c, layer, layer_d)) return;
        if (!skip_shared && !upload(c, shared, shared_d)) return;

        std::string body = R"({"schemaVersion":2,"config":{"digest":")" + config_d + R"("},"layers":[{"digest":")" +
                           shared_d + R"("},{"digest":")" + layer_d + R"("}]})";
        std::string repo = "team" + std::to_string(index_ % 2) + "/app" + std::to_string(n % 3);
        std::string tag = "v" + std::to_string(n % 4);
        char digest[80];
        if (reg_manifest_put(repo.c_str(), tag.c_str(), body.data(), body.size(), nullptr, digest) == 0) {
            ++c.pushes;
        } else {
            judge_failure(c);
        }
        if (rng_() % 4 == 0) {
            if (reg_manifest_delete(repo.c_str(), tag.c_str()) == 0) {
                ++c.tag_deletes;
            } else if (reg_storage_last_error_kind() != REG_ERR_NOT_FOUND) {
                ++c.delete_errors;
                note(c, std::string("delete: ") + reg_storage_last_error());
            }
        }
    }

    void judge_failure(child_counts &c) {
        std::string error = reg_storage_last_error();
        static const std::string kUnknown = "BLOB_UNKNOWN: ";
        // With deleters about, a blob may go by a deletion at any time, and a
        // store may meet a deletion of its own manifest: the tree check judges.
        if (deletions_ && (error.rfind(kUnknown, 0) == 0 || reg_storage_last_error_kind() == REG_ERR_CONFLICT)) {
            ++c.lost_to_deletions;
            return;
        }
        if (error.rfind(kUnknown, 0) != 0) {
            ++c.other_errors;
            note(c, "manifest put: " + error);
            return;
        }
        auto found = finished_.find(error.substr(kUnknown.size()));
        if (found == finished_.end()) {
            ++c.head_failures;
        } else if (now_ms() - found->second < kPromiseMs) {
            ++c.push_violations;
            note(c, "push lost a blob finished " + std::to_string(now_ms() - found->second) + " ms ago: " + error);
        } else {
            ++c.late_failures;
        }
    }

    int index_;
    long deadline_;
    bool deletions_;
    int old_layers_;
    std::mt19937 rng_;
    std::map<std::string, long> finished_; // digest → when this push's upload of it finished
};

void collect(child_counts &c, long deadline) {
    do {
        if (const char *report = reg_gc_json(0)) {
            ++c.collections;
            const char *deleted = strstr(report, "\"blobs_deleted\":");
            if (deleted) c.blobs_deleted += atol(deleted + strlen("\"blobs_deleted\":"));
        } else {
            ++c.refusals;
            note(c, std::string("collection: ") + reg_storage_last_error());
        }
    } while (now_ms() < deadline);
}

// Entries of a directory (names only), or none.
std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        out.push_back(it->path().filename().string());
    return out;
}

void judge_deletion(child_counts &c, int rc, const char *what) {
    if (rc == 0) {
        ++c.deletions;
        return;
    }
    reg_err_kind kind = reg_storage_last_error_kind();
    if (kind == REG_ERR_DENIED || kind == REG_ERR_CONFLICT || kind == REG_ERR_NOT_FOUND) {
        ++c.deletions_refused;
        return;
    }
    ++c.delete_errors;
    note(c, std::string(what) + ": " + reg_storage_last_error());
}

// Deletes at random what the pushers store: a blob, a manifest by digest, now
// and then a whole repository.
void deleter(child_counts &c, const std::string &root, long deadline, int index) {
    std::mt19937 rng(getpid() * 104729u + index);
    long n = 0;
    do {
        std::string repo = "team" + std::to_string(rng() % 2) + "/app" + std::to_string(rng() % 3);
        if (n % 7 == 6) {
            judge_deletion(c, reg_repo_delete(repo.c_str()), "repository delete");
        } else if (n % 2 == 0) {
            std::vector<std::string> fanouts = names_in(fs::path(root) / "blobs" / "sha256");
            if (!fanouts.empty()) {
                std::string fanout = fanouts[rng() % fanouts.size()];
                std::vector<std::string> blobs = names_in(fs::path(root) / "blobs" / "sha256" / fanout);
                if (!blobs.empty()) {
                    std::string digest = "sha256:" + blobs[rng() % blobs.size()];
                    if (digest.size() == 71) judge_deletion(c, reg_blob_delete(digest.c_str()), "blob delete");
                }
            }
        } else {
            std::vector<std::string> bodies = names_in(fs::path(root) / "repositories" / repo / "_manifests");
            std::vector<std::string> digests;
            for (const std::string &name : bodies)
                if (name.size() == 64) digests.push_back("sha256:" + name);
            if (!digests.empty())
                judge_deletion(c, reg_manifest_delete(repo.c_str(), digests[rng() % digests.size()].c_str()),
                               "manifest delete");
        }
        ++n;
    } while (now_ms() < deadline);
}

// Forks a child that starts the engine on root, does its part and writes its counts to the pipe.
template <typename Work> pid_t spawn(const std::string &root, int fd_write, int fd_read, Work work) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    close(fd_read);
    child_counts c{};
    if (reg_storage_init(root.c_str()) != 0) {
        ++c.other_errors;
        note(c, std::string("init: ") + reg_storage_last_error());
    } else {
        work(c);
        reg_storage_cleanup();
    }
    ssize_t written = write(fd_write, &c, sizeof c);
    _exit(written == static_cast<ssize_t>(sizeof c) ? 0 : 1);
}

void add(totals &t, const child_counts &c) {
    t.pushes += c.pushes;
    t.tag_deletes += c.tag_deletes;
    t.collections += c.collections;
    t.refusals += c.refusals;
    t.push_violations += c.push_violations;
    t.late_failures += c.late_failures;
    t.head_failures += c.head_failures;
    t.other_errors += c.other_errors;
    t.blobs_deleted += c.blobs_deleted;
    t.delete_errors += c.delete_errors;
    t.deletions += c.deletions;
    t.deletions_refused += c.deletions_refused;
    t.lost_to_deletions += c.lost_to_deletions;
    if (c.message[0] && static_cast<int>(t.messages.size()) < kMessagesKept) t.messages.emplace_back(c.message);
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void violation(long &count, std::vector<std::string> *messages, const std::string &what) {
    ++count;
    if (messages && static_cast<int>(messages->size()) < kMessagesKept) messages->push_back(what);
}

bool is_hex64(const std::string &name) {
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The 64 digits of every "sha256:" digest a body names.
std::vector<std::string> named_digests(const std::string &body) {
    static const std::string kPrefix = "sha256:";
    std::vector<std::string> out;
    for (size_t at = body.find(kPrefix); at != std::string::npos; at = body.find(kPrefix, at + 1)) {
        std::string hex = body.substr(at + kPrefix.size(), 64);
        if (is_hex64(hex)) out.push_back(hex);
    }
    return out;
}

// Layers stored an hour ago that no manifest names.
void seed_old_layers(const std::string &root, int count) {
    for (int i = 0; i < count; ++i) {
        std::string data = old_layer(i), hex = hex_of(data);
        fs::path path = fs::path(root) / "blobs" / "sha256" / hex.substr(0, 2) / hex;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << data;
        struct timespec times[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
}

} // namespace

long check_tree(const std::string &root, long *manifests, std::vector<std::string> *messages) {
    long violations = 0;
    *manifests = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(fs::path(root) / "repositories", ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path &path = it->path();
        if (!it->is_regular_file() || path.parent_path().filename() != "_manifests" ||
            !is_hex64(path.filename().string()))
            continue;
        ++*manifests;
        std::string body = read_file(path);
        for (const std::string &hex : named_digests(body)) {
            fs::path blob = fs::path(root) / "blobs" / "sha256" / hex.substr(0, 2) / hex;
            if (fs::is_regular_file(path.parent_path() / hex)) continue; // an index's child manifest
            if (!fs::is_regular_file(blob))
                violation(violations, messages, "stored manifest " + path.string() + " names missing blob " + hex);
            else if (hex_of(read_file(blob)) != hex)
                violation(violations, messages, "blob " + hex + " does not hash to its name");
        }
    }
    // Every tag names a manifest stored in its repository.
    for (auto it = fs::recursive_directory_iterator(fs::path(root) / "repositories", ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path &path = it->path();
        if (!it->is_regular_file() || path.filename() != "link" || path.parent_path().filename() != "current")
            continue;
        fs::path tags = path.parent_path().parent_path().parent_path();
        if (tags.filename() != "tags") continue;
        std::string link = read_file(path);
        if (link.size() != 71) continue;
        if (!fs::is_regular_file(tags.parent_path() / link.substr(7)))
            violation(violations, messages, "tag " + path.string() + " names missing manifest " + link);
    }
    for (auto it = fs::recursive_directory_iterator(fs::path(root) / "blobs", ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->path().extension() == ".aside") violation(violations, messages, "left aside: " + it->path().string());
    fs::path records = fs::path(root) / "_gc" / "intents";
    if (fs::exists(records) && !fs::is_empty(records))
        violation(violations, messages, "a store record outlived its store");
    return violations;
}

totals run(const options &opts) {
    totals t;
    long start = now_ms();
    long deadline = start + static_cast<long>(opts.seconds * 1000);
    if (reg_storage_init(opts.root.c_str()) != 0) {
        ++t.other_errors;
        t.messages.emplace_back(reg_storage_last_error());
        return t;
    }
    seed_old_layers(opts.root, opts.old_layers);
    reg_storage_cleanup();
    fflush(stdout);
    fflush(stderr);
    std::vector<std::pair<pid_t, int>> children;
    bool deletions = opts.deleters > 0;
    long pushers_start = now_ms();
    for (int i = 0; i < opts.pushers + opts.collectors + opts.deleters; ++i) {
        int fds[2];
        if (pipe(fds) != 0) break;
        pid_t pid =
            i < opts.pushers
                ? spawn(opts.root, fds[1], fds[0],
                        [&](child_counts &c) { pusher(i, deadline, deletions, opts.old_layers).run(c); })
            : i < opts.pushers + opts.collectors
                ? spawn(opts.collector_root.empty() ? opts.root : opts.collector_root, fds[1], fds[0],
                        [&](child_counts &c) { collect(c, deadline); })
                : spawn(opts.root, fds[1], fds[0], [&](child_counts &c) { deleter(c, opts.root, deadline, i); });
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            break;
        }
        children.emplace_back(pid, fds[0]);
    }
    // The pushers come first in the list, so the phase ends when the last of them has been waited for.
    for (size_t n = 0; n < children.size(); ++n) {
        auto [pid, fd] = children[n];
        if (n == static_cast<size_t>(opts.pushers)) t.push_seconds = static_cast<double>(now_ms() - pushers_start) / 1000.0;
        child_counts c{};
        ssize_t got = read(fd, &c, sizeof c);
        close(fd);
        int status = 0;
        waitpid(pid, &status, 0);
        if (got != static_cast<ssize_t>(sizeof c) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++t.other_errors;
            t.messages.push_back("a child ended abnormally");
            continue;
        }
        add(t, c);
    }
    t.elapsed = static_cast<double>(now_ms() - start) / 1000.0;
    if (children.size() <= static_cast<size_t>(opts.pushers)) t.push_seconds = static_cast<double>(now_ms() - pushers_start) / 1000.0;
    t.tree_violations = check_tree(opts.root, &t.manifests_checked, &t.messages);
    return t;
}

} // namespace pushrace
