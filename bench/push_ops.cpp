// push_ops.cpp - the file-system calls of one push, counted by kind through the platform layer: one blob
// upload (session start, one chunk, finish), one manifest store, one tag moved to another manifest.
// On a network or cluster file system every call is a round trip, so these counts bound a push's speed.
// Usage: push_ops [storage-root]   (default: a fresh directory under the system's temporary directory)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "digest/sha256.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

namespace {

namespace fs = std::filesystem;

const char *const kNames[PLAT_OP_COUNT] = {
    "mkdir", "rmdir", "unlink", "rename", "open_append", "create_excl", "open_existing", "random", "dir_open",
    "dir_read", "open_read", "read", "write", "fsync", "fsync_dir", "close", "create_temp", "touch", "lock", "stat",
    "truncate"};

std::string hex_digest(const std::string &data) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    uint8_t out[32];
    sha256_final(&ctx, out);
    std::string s = "sha256:";
    char b[3];
    for (uint8_t c : out) {
        snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

void print_counts(const char *what) {
    uint64_t total = 0;
    printf("%-16s", what);
    for (int op = 0; op < PLAT_OP_COUNT; ++op) {
        uint64_t n = plat_op_count(static_cast<plat_op>(op));
        total += n;
        if (n) printf(" %s=%llu", kNames[op], static_cast<unsigned long long>(n));
    }
    printf("  total=%llu\n", static_cast<unsigned long long>(total));
    // Flushed at once, so a system-call trace shows where each operation's calls end.
    fflush(stdout);
    plat_op_counts_reset();
}

struct source {
    const std::string *data;
    size_t at;
};

long read_source(void *ctx, void *buf, size_t cap) {
    source *s = static_cast<source *>(ctx);
    size_t n = std::min(cap, s->data->size() - s->at);
    memcpy(buf, s->data->data() + s->at, n);
    s->at += n;
    return static_cast<long>(n);
}

// One blob through the front door's calls; false on any failure.
bool push_blob(const char *repo, const std::string &data, bool print) {
    char uuid[37], digest[72];
    if (reg_upload_start(repo, uuid) != 0) return false;
    if (print) print_counts("upload start");
    source src{&data, 0};
    if (reg_upload_append_from(uuid, 0, read_source, &src, nullptr) != 0) return false;
    if (print) print_counts("upload chunk");
    if (reg_blob_finish_upload(uuid, hex_digest(data).c_str(), digest) != 0) return false;
    if (print) print_counts("upload finish");
    return true;
}

std::string manifest(const std::string &config, const std::string &layer) {
    char buf[1024];
    snprintf(buf, sizeof buf,
             "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
             "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"%s\",\"size\":%zu},"
             "\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"%s\",\"size\":%zu}]}",
             hex_digest(config).c_str(), config.size(), hex_digest(layer).c_str(), layer.size());
    return buf;
}

} // namespace

int main(int argc, char **argv) {
    std::string dir;
    if (argc > 1) {
        dir = argv[1];
    } else {
        std::string tmpl = (fs::temp_directory_path() / "push-ops-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) return 1;
        dir = tmpl;
    }
    if (reg_storage_init((dir + "/root").c_str()) != 0) return 1;
    const char *repo = "bench/ops";
    const char *type = "application/vnd.oci.image.manifest.v1+json";
    std::string config1 = "{\"n\":1}", config2 = "{\"n\":2}", layer(65536, 'x');
    char digest[72];
    // A first push makes the repository's directories, so the counted one is a steady-state push.
    bool ok = push_blob(repo, config1, false) && push_blob(repo, layer, false) &&
              reg_manifest_put(repo, "warm", manifest(config1, layer).data(), manifest(config1, layer).size(), type,
                               digest) == 0 &&
              push_blob(repo, config2, false);
    plat_op_counts_reset();
    std::string layer2(65536, 'y');
    ok = ok && push_blob(repo, layer2, true);
    std::string m1 = manifest(config1, layer2), m2 = manifest(config2, layer2);
    ok = ok && reg_manifest_put(repo, "v1", m1.data(), m1.size(), type, digest) == 0;
    if (ok) print_counts("manifest store");
    // The tag moves to a new manifest whose blobs are all stored.
    ok = ok && reg_manifest_put(repo, "v1", m2.data(), m2.size(), type, digest) == 0;
    if (ok) print_counts("tag move");
    reg_storage_cleanup();
    if (argc <= 1) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    if (!ok) fprintf(stderr, "push_ops: a call failed\n");
    return ok ? 0 : 1;
}
