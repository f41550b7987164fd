// gc_guard.cpp - what uploads and manifest stores do so that a collection never takes a blob they name.
#include <stdio.h>
#include <string.h>

#include "base/qf_str.h"
#include "base/settings.h"
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
// A blob touched within a quarter of the grace period is fresh enough.
constexpr int64_t kTouchSkipDivisor = 4;

// A name no other process draws: the process id and random digits.
bool record_name(char *out, size_t cap, const char *manifest_hex) {
    return qf_snprintf_fit(out, cap, "%s/%s/%s/%s-%u-%s", s_root, kGcDir, kGcIntentsDir, manifest_hex,
                           plat_process_id(), gc_random_hex().c_str());
}

} // namespace

bool blob_aside_path(char *out, const char *blob_path) {
    return qf_snprintf_fit(out, kPathMax, "%s%s", blob_path, kAsideSuffix);
}

int64_t touch_fresh_since(int64_t ref) {
    if (ref < 0) return kTouchAlways;
    int64_t grace = settings_int(SETTINGS_GC_GRACE_SECONDS);
    return ref - (grace < 0 ? 0 : grace / kTouchSkipDivisor);
}

// The order matters (see the collection's sweep in gc.cpp): the file is made
// fresh before this store goes on, and a file found aside is made fresh
// before it is put back, so no sweep that has not seen this store's record
// can find it old again. The look that finds the file also reads its time:
// one fresh enough needs no touch.
bool keep_named_blob(const char *digest, int64_t fresh_since) {
    char path[kPathMax];
    blob_path_for_digest(path, digest);
    int64_t mtime = -1;
    if (plat_entry_kind_time(path, &mtime) == PLAT_FILE) {
        if (mtime >= 0 && fresh_since != kTouchAlways && mtime >= fresh_since) return true;
        if (plat_touch(path) == 0) return true;
    }
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

// Written in place under its final name: a run or a deletion that reads it
// empty or cut short has its store check the blobs and the marks afterwards
// (see the top of gc.cpp). Its directory needs no flush: the record only
// tells processes running alongside its store, and a crash ends that store;
// its bytes are flushed as every file's are, so a full disk shows here first.
bool store_record::write(const char *hex, const void *body, size_t len) {
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/%s/%s", s_root, kGcDir, kGcIntentsDir);
    bool dir_made = false;
    for (int attempt = 0; attempt < kRecordTries; ++attempt) {
        char path[kPathMax];
        if (!record_name(path, sizeof path, hex)) break;
        int rc = plat_create_excl_write(path, body, len, s_fsync ? PLAT_SYNC : 0);
        if (rc == PLAT_EXISTS) continue;
        if (rc == PLAT_MISSING && !dir_made) {
            if (mkdirs(dir) != 0) {
                set_error("cannot create store records directory");
                return false;
            }
            dir_made = true;
            continue;
        }
        if (rc == 0 || rc == -1) qf_strlcpy(path_, path, sizeof path_); // the destructor removes it either way
        if (rc == 0) return true;
        break;
    }
    set_error("cannot write store record");
    return false;
}

int64_t store_record::time() const {
    int64_t mtime = -1;
    if (!path_[0] || plat_file_info(path_, nullptr, &mtime) != 0) return -1;
    return mtime;
}
