// backup_race.cpp - for backup_test.sh: backs a store up while other processes push, move tags and
// delete them, then judges the copies.
//
// Usage: backup_race ROOT HELD_COPY LIVE_COPY
//   Seeds ROOT with three repositories of images (and an index), then makes two copies:
//   HELD_COPY  the backup is held at three known points - its first file (the blob pass), its first
//              file under repositories/ (the manifest pass) and its first tag - and at each a forked
//              child pushes, moves and deletes tags to completion before the copy goes on;
//   LIVE_COPY  forked pushers (a bounded number of pushes each) are let go at the backup's first file
//              and run beside it.
// Each copy must be whole (every manifest's blobs present and hashing right, every tag naming a
// stored manifest that the engine serves); the held copy must hold exactly the tags the store holds
// afterwards, each naming the same manifest, and must have copied blobs named by manifests stored
// after its blob pass. Exit 0 when all holds, 1 with the reasons on stderr.
#include <openssl/sha.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tests/push_race.h"

namespace {

namespace fs = std::filesystem;

constexpr int kLivePushers = 3;
constexpr int kPushesEach = 6;
const char *const kRepos[] = {"app/a", "app/b", "app/c"};
constexpr int kSeedTags = 4;

int g_failures = 0;

void fail(const std::string &what) {
    fprintf(stderr, "FAIL: %s\n", what.c_str());
    ++g_failures;
}

std::string sha_hex(const std::string &data) {
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), md);
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i)
        snprintf(hex + 2 * i, 3, "%02x", md[i]);
    return hex;
}

bool put_blob(const std::string &data, std::string &digest) {
    digest = "sha256:" + sha_hex(data);
    char id[64], stored[80];
    return reg_blob_start_upload(id) == 0 && reg_blob_append_chunk(id, data.data(), data.size()) == 0 &&
           reg_blob_finish_upload(id, digest.c_str(), stored) == 0;
}

std::string descriptor(const char *type, const std::string &digest, size_t size) {
    return std::string("{\"mediaType\":\"") + type + "\",\"digest\":\"" + digest +
           "\",\"size\":" + std::to_string(size) + "}";
}

constexpr char kImageType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";

// An image of a config, a layer of its own and a layer every image shares, stored under ref
// (a tag, or its own digest when ref is empty). Its digest, or "" on a failure.
std::string push_image(const std::string &repo, const std::string &ref, const std::string &seed) {
    std::string layer = "layer of " + seed + std::string(4096 + seed.size() * 37, 'x');
    std::string shared = "a layer every image shares" + std::string(8192, 's');
    std::string layer_d, shared_d, config_d;
    if (!put_blob(layer, layer_d) || !put_blob(shared, shared_d)) return "";
    std::string config = "{\"architecture\":\"amd64\",\"os\":\"linux\",\"rootfs\":{\"type\":\"layers\",\"diff_ids\":[\"" +
                         shared_d + "\",\"" + layer_d + "\"]},\"comment\":\"" + seed + "\"}";
    if (!put_blob(config, config_d)) return "";
    const char *layer_type = "application/vnd.oci.image.layer.v1.tar";
    std::string body = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kImageType + "\",\"config\":" +
                       descriptor("application/vnd.oci.image.config.v1+json", config_d, config.size()) +
                       ",\"layers\":[" + descriptor(layer_type, shared_d, shared.size()) + "," +
                       descriptor(layer_type, layer_d, layer.size()) + "]}";
    std::string own = "sha256:" + sha_hex(body);
    char digest[80];
    if (reg_manifest_put(repo.c_str(), ref.empty() ? own.c_str() : ref.c_str(), body.data(), body.size(), kImageType,
                         digest) != 0)
        return "";
    return digest;
}

// An index of two images stored by digest, tagged tag.
bool push_index(const std::string &repo, const std::string &tag) {
    std::string children;
    for (const char *arch : {"amd64", "arm64"}) {
        std::string d = push_image(repo, "", repo + " index child " + arch);
        if (d.empty()) return false;
        char type[256], got[80];
        const char *current = reg_manifest_get(repo.c_str(), d.c_str(), type, got);
        size_t size = current ? strlen(current) : 0;
        children += std::string(children.empty() ? "" : ",") + "{\"mediaType\":\"" + kImageType + "\",\"digest\":\"" +
                    d + "\",\"size\":" + std::to_string(size) + ",\"platform\":{\"architecture\":\"" + arch +
                    "\",\"os\":\"linux\"}}";
    }
    std::string body = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kIndexType + "\",\"manifests\":[" +
                       children + "]}";
    char digest[80];
    return reg_manifest_put(repo.c_str(), tag.c_str(), body.data(), body.size(), kIndexType, digest) == 0;
}

// Runs work in a forked child on its own engine and waits for it; true when it succeeded.
template <typename Work> bool in_child(const std::string &root, Work work) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        bool ok = reg_storage_init(root.c_str()) == 0 && work();
        if (!ok) fprintf(stderr, "child: %s\n", reg_storage_last_error());
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Tag -> digest of every tag in a tree, read from the files as a reader would resolve them.
std::map<std::string, std::string> tags_of(const std::string &root) {
    std::map<std::string, std::string> out;
    for (const char *repo : kRepos) {
        fs::path tags = fs::path(root) / "repositories" / repo / "_manifests" / "tags";
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(tags, ec)) {
            std::ifstream in(entry.path() / "current" / "link");
            std::string link;
            if (in && std::getline(in, link)) out[std::string(repo) + ":" + entry.path().filename().string()] = link;
        }
    }
    return out;
}

bool copy_has(const std::string &copy, const std::string &rel) { return fs::exists(fs::path(copy) / rel); }

// A repository whose part of the copy does not hold _manifests+below yet: the backup has not
// listed it (it makes that directory before the first file it copies there), so what is done to
// it now must show in the copy.
std::string repo_not_reached(const std::string &copy, const char *below) {
    for (const char *repo : kRepos)
        if (!copy_has(copy, std::string("repositories/") + repo + "/_manifests" + below)) return repo;
    return "";
}

// The held run: a hook before every rename of the backup looks at what the copy holds and acts
// once at each of three points.
struct hold_state {
    std::string root, copy;
    int step = 0;
    std::string moved_repo, pushed_late; // what the third hold did
    bool failed = false;
};

void hold(void *arg);

void rearm(hold_state *s) { plat_hook_inject(PLAT_OP_RENAME, 1, hold, s); }

void hold(void *arg) {
    auto *s = static_cast<hold_state *>(arg);
    std::string root = s->root;
    if (s->step == 0) { // the first file of the blob pass
        s->step = 1;
        if (!in_child(root, [] { return !push_image("app/a", "held-a", "pushed during the blob pass").empty(); }))
            s->failed = true;
    } else if (s->step == 1 && copy_has(s->copy, "repositories")) { // the manifest pass has begun
        s->step = 2;
        std::string repo = repo_not_reached(s->copy, "");
        if (repo.empty() || !in_child(root, [&] {
                std::string d = push_image(repo, "held-b", "pushed during the manifest pass");
                char moved[80], type[256];
                const char *body = d.empty() ? nullptr : reg_manifest_get(repo.c_str(), d.c_str(), type, moved);
                return body && reg_manifest_put(repo.c_str(), "t2", body, strlen(body), kImageType, moved) == 0;
            }))
            s->failed = true;
    } else if (s->step == 2 && [&] {
                   for (const char *repo : kRepos)
                       if (copy_has(s->copy, std::string("repositories/") + repo + "/_manifests/tags")) return true;
                   return false;
               }()) { // the first tag
        s->step = 3;
        s->moved_repo = repo_not_reached(s->copy, "/tags");
        if (s->moved_repo.empty() || !in_child(root, [&] {
                std::string d = push_image(s->moved_repo, "t0", "pushed during the tag pass");
                return !d.empty() && reg_manifest_delete(s->moved_repo.c_str(), "t1") == 0;
            }))
            s->failed = true;
    }
    if (s->step < 3) rearm(s);
}

long long report_num(const char *report, const char *key) {
    std::string k = std::string("\"") + key + "\":";
    const char *at = report ? strstr(report, k.c_str()) : nullptr;
    return at ? atoll(at + k.size()) : -1;
}

// Whole: every manifest's blobs present and hashing right, every tag naming a stored manifest the
// engine serves from the copy.
void judge_whole(const std::string &copy, const char *which) {
    long manifests = 0;
    std::vector<std::string> messages;
    long violations = pushrace::check_tree(copy, &manifests, &messages);
    for (const std::string &m : messages) fail(std::string(which) + ": " + m);
    if (violations > 0) fail(std::string(which) + ": " + std::to_string(violations) + " violations in the copy");
    if (manifests == 0) fail(std::string(which) + ": the copy holds no manifest");
    if (reg_storage_init(copy.c_str()) != 0) return fail(std::string(which) + ": the engine refuses the copy");
    for (const auto &[name, digest] : tags_of(copy)) {
        std::string repo = name.substr(0, name.find(':')), tag = name.substr(name.find(':') + 1);
        char got[80] = "", type[256];
        if (!reg_manifest_get(repo.c_str(), tag.c_str(), type, got) || digest != got)
            fail(std::string(which) + ": tag " + name + " does not resolve in the copy");
    }
}

bool seed(const std::string &root) {
    if (reg_storage_init(root.c_str()) != 0) return false;
    for (const char *repo : kRepos)
        for (int t = 0; t < kSeedTags; ++t)
            if (push_image(repo, "t" + std::to_string(t), std::string(repo) + " seed " + std::to_string(t)).empty())
                return false;
    return push_index("app/a", "multi");
}

void held_run(const std::string &root, const std::string &copy) {
    hold_state s;
    s.root = root;
    s.copy = copy;
    rearm(&s);
    const char *report = reg_backup_json(copy.c_str());
    plat_hook_inject(PLAT_OP_RENAME, 0, nullptr, nullptr);
    if (!report) return fail(std::string("held backup: ") + reg_storage_last_error());
    printf("held backup: %s\n", report);
    if (s.failed || s.step != 3) fail("held backup: the pushes at the held points did not all run (step " +
                                      std::to_string(s.step) + ")");
    // The second and third holds store two images of two new blobs each after the blob pass.
    if (report_num(report, "blobs_copied_for_late_manifests") < 4)
        fail("held backup: the blobs of manifests stored after the blob pass were not all copied with them");
    std::map<std::string, std::string> store = tags_of(root), copied = tags_of(copy);
    if (store != copied) {
        for (const auto &[name, digest] : store)
            if (copied[name] != digest) fail("held backup: tag " + name + " is " + copied[name] + " in the copy, " + digest + " in the store");
        for (const auto &[name, digest] : copied)
            if (!store.count(name)) fail("held backup: tag " + name + " is in the copy only");
    }
    if (!s.moved_repo.empty() && copied.count(s.moved_repo + ":t1")) fail("held backup: a tag deleted before its repository's tags were copied is in the copy");
    judge_whole(copy, "held backup");
}

void live_run(const std::string &root, const std::string &copy) {
    int go[2];
    if (pipe(go) != 0) return fail("pipe");
    std::vector<pid_t> pids;
    for (int p = 0; p < kLivePushers; ++p) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char byte;
            bool ok = read(go[0], &byte, 1) == 1 && reg_storage_init(root.c_str()) == 0;
            std::string repo = "app/" + std::string(1, "abc"[p]);
            for (int n = 0; ok && n < kPushesEach; ++n) {
                std::string tag = n % 2 ? "t3" : "live" + std::to_string(p) + "-" + std::to_string(n);
                ok = !push_image(repo, tag, "live " + std::to_string(p) + " " + std::to_string(n)).empty();
                if (ok && n == 2) ok = reg_manifest_delete(repo.c_str(), tag.c_str()) == 0;
            }
            if (!ok) fprintf(stderr, "pusher %d: %s\n", p, reg_storage_last_error());
            _exit(ok ? 0 : 1);
        }
        pids.push_back(pid);
    }
    close(go[0]);
    // The pushers go at the backup's first file.
    struct release {
        int fd;
        static void fire(void *arg) {
            char bytes[kLivePushers] = {};
            if (write(static_cast<release *>(arg)->fd, bytes, sizeof bytes) != sizeof bytes) perror("release");
        }
    } r{go[1]};
    plat_hook_inject(PLAT_OP_RENAME, 1, release::fire, &r);
    const char *report = reg_backup_json(copy.c_str());
    plat_hook_inject(PLAT_OP_RENAME, 0, nullptr, nullptr);
    std::string kept = report ? report : "";
    close(go[1]);
    for (pid_t pid : pids) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fail("live backup: a pusher failed");
    }
    if (!report) return fail(std::string("live backup: ") + reg_storage_last_error());
    printf("live backup: %s\n", kept.c_str());
    judge_whole(copy, "live backup");
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: backup_race ROOT HELD_COPY LIVE_COPY\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string root = argv[1];
    if (!seed(root)) {
        fprintf(stderr, "seed: %s\n", reg_storage_last_error());
        return 1;
    }
    held_run(root, argv[2]);
    if (reg_storage_init(root.c_str()) != 0) return fail("init"), 1;
    live_run(root, argv[3]);
    return g_failures == 0 ? 0 : 1;
}
