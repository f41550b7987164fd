// gc_guard.cpp - what uploads and manifest stores do so that a collection never takes a blob they name.
#include <stdio.h>
#include <string.h>

#include "base/qf_str.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"

// Random digits for a name no other process draws; the clock stands in
// when the system has no randomness to give.
std::string gc_random_hex() {
    unsigned char bytes[8];
    if (plat_random_bytes(bytes, sizeof bytes) != 0) {
        uint64_t now = plat_monotonic_ms();
        memcpy(bytes, &now, sizeof bytes);
    }
    char hex[2 * sizeof bytes + 1];
    for (size_t i = 0; i < sizeof bytes; ++i)
        qf_snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    return hex;
}

namespace {

constexpr int kRecordTries = 4;

// A name no other process draws: the process id and random digits.
bool record_name(char *out, size_t cap, const char *manifest_hex) {
    return qf_snprintf_fit(out, cap, "%s/%s/%s/%s-%u-%s", s_root, kGcDir, kGcIntentsDir, manifest_hex,
                           plat_process_id(), gc_random_hex().c_str());
}

} // namespace

bool blob_aside_path(char *out, const char *blob_path) {
    return qf_snprintf_fit(out, kPathMax, "%s%s", blob_path, kAsideSuffix);
}

// The order matters (see the collection's sweep in gc.cpp): the file is made
// fresh before this store goes on, and a file found aside is made fresh
// before it is put back, so no sweep that has not seen this store's record
// can find it old again.
bool keep_named_blob(const char *digest) {
    char path[kPathMax];
    blob_path_for_digest(path, digest);
    if (plat_entry_kind(path) == PLAT_FILE && plat_touch(path) == 0) return true;
    char aside[kPathMax];
    if (blob_aside_path(aside, path) && plat_entry_kind(aside) == PLAT_FILE && plat_touch(aside) == 0)
        plat_rename(aside, path);
    // Put back here, by a sweep, or by a run that found it left aside (that
    // one keeps its old time), or stored again by an upload: touched again so
    // that it is fresh whoever put it there.
    return plat_entry_kind(path) == PLAT_FILE && plat_touch(path) == 0;
}

store_record::~store_record() {
    if (path_[0]) plat_unlink(path_);
}

bool store_record::write(const char *hex, const void *body, size_t len) {
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/%s/%s", s_root, kGcDir, kGcIntentsDir);
    if (plat_entry_kind(dir) != PLAT_DIR && mkdirs(dir) != 0) {
        set_error("cannot create store records directory");
        return false;
    }
    for (int attempt = 0; attempt < kRecordTries; ++attempt) {
        char path[kPathMax];
        if (!record_name(path, sizeof path, hex)) break;
        int rc = plat_create_excl(path);
        if (rc == PLAT_EXISTS) continue;
        if (rc != 0) break;
        qf_strlcpy(path_, path, sizeof path_);
        if (write_file(path_, body, len) == 0) return true;
        break;
    }
    set_error("cannot write store record");
    return false;
}
