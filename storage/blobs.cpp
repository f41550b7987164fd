// blobs.cpp - blob uploads and the content-addressed blob store.
#include "platform/platform.h"
#include "storage/storage_internal.h"

extern "C" int reg_blob_exists(const char *digest) {
    if (!digest) {
        set_error("digest is NULL");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!digest_valid(digest)) {
        set_error("invalid digest");
        return -1;
    }
    char path[kPathMax];
    blob_path_for_digest(path, digest);
    return plat_entry_kind(path) == PLAT_FILE ? 1 : 0;
}
