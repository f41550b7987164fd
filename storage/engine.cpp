// engine.cpp - the storage engine's state, start-up and last error.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <new>

#include "base/qf_str.h"
#include "base/settings.h"
#include "platform/platform.h"
#include "storage/storage_internal.h"

namespace {

// The handle of the calls made without one; static, so that a process using
// only the old calls never fails for want of memory to hold it.
reg_engine s_default_engine;
thread_local reg_engine *t_current = nullptr;

} // namespace

reg_engine &current_engine() { return t_current ? *t_current : s_default_engine; }

namespace {

// Exactly 110 bytes; the engine writes it once and never reads it back.
constexpr char kDescriptor[] = "{\n  \"schemaVersion\": 2,\n  \"title\": \"quillfen-registry-storage\",\n"
                               "  \"version\": \"1.9.0\",\n  \"maxUploadSize\": -1\n}\n";
static_assert(sizeof kDescriptor - 1 == 110, "storage descriptor is 110 bytes");

int make_top_dir(const char *suffix) {
    char path[kPathMax];
    qf_snprintf(path, sizeof path, "%s/%s", s_root, suffix);
    if (mkdirs(path) == 0) return 0;
    set_io_error(errno, "cannot create the storage directory %s", suffix);
    return -1;
}

// Time and load address alone repeat for every process started in the same
// second from the same image, and such processes would then draw the same
// upload ids; the process id and kernel randomness set them apart. The id is
// multiplied so that neighbouring ids differ in the high bits too.
void seed_generator() {
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&s_seed));
    uint32_t seed = now ^ addr ^ (plat_process_id() * 0x9E3779B1u);
    uint32_t noise = 0;
    if (plat_random_bytes(&noise, sizeof noise) == 0) seed ^= noise;
    s_seed = seed == 0 ? kSeedFallback : seed;
}

} // namespace

#define s_error_kind (current_engine().error_kind)
#define s_error_errno (current_engine().error_errno)

void set_error(const char *format, ...) {
    s_error_errno = errno;
    va_list ap;
    va_start(ap, format);
    vsnprintf(s_error, sizeof s_error, format, ap);
    va_end(ap);
    s_error_kind = REG_ERR_IO;
}

void set_error_kind(reg_err_kind kind, const char *format, ...) {
    s_error_errno = kind == REG_ERR_IO ? errno : 0;
    va_list ap;
    va_start(ap, format);
    vsnprintf(s_error, sizeof s_error, format, ap);
    va_end(ap);
    s_error_kind = kind;
}

bool require_ready() {
    if (s_ready) return true;
    set_error_kind(REG_ERR_IO, "not initialized - call reg_storage_init first");
    return false;
}

extern "C" {

int reg_storage_init(const char *root) {
    if (!root || !*root) {
        set_error_kind(REG_ERR_INVALID, "storage root dir is empty");
        return -1;
    }
    if (s_ready) {
        s_ready = 0;
        s_root[0] = '\0';
    }
    size_t len = strlen(root);
    if (len >= kRootMax) {
        set_error_kind(REG_ERR_INVALID, "storage root dir too long (max 3499 chars)");
        return -1;
    }
    memcpy(s_root, root, len + 1);
    if (s_root[len - 1] == '\\') s_root[len - 1] = '\0';
    s_fsync = settings_switch(SETTINGS_FSYNC);

    if (mkdirs(s_root) != 0) {
        set_io_error(errno, "cannot create the storage root");
        return -1;
    }
    if (make_top_dir("blobs/sha256") != 0 || make_top_dir("repositories") != 0 || make_top_dir("uploads") != 0)
        return -1;

    char descriptor[kPathMax];
    qf_snprintf(descriptor, sizeof descriptor, "%s/config.json", s_root);
    if (plat_entry_kind(descriptor) != PLAT_FILE && write_file(descriptor, kDescriptor, sizeof kDescriptor - 1) != 0) {
        set_error("write config.json failed");
        return -1;
    }

    s_ready = 1;
    s_error[0] = '\0';
    s_error_kind = REG_ERR_NONE;
    s_error_errno = 0;
    seed_generator();
    return 0;
}

void reg_storage_cleanup(void) {
    s_root[0] = '\0';
    s_ready = 0;
}

int reg_engine_open(const char *root, reg_engine **out) {
    *out = new (std::nothrow) reg_engine;
    if (!*out) return -1;
    reg_engine *outer = reg_engine_use(*out);
    int rc = reg_storage_init(root);
    reg_engine_use(outer);
    return rc;
}

void reg_engine_close(reg_engine *engine) {
    if (!engine) return;
    if (t_current == engine) t_current = nullptr;
    delete engine;
}

reg_engine *reg_engine_use(reg_engine *engine) {
    reg_engine *outer = t_current;
    t_current = engine;
    return outer;
}

const char *reg_engine_last_error(const reg_engine *engine) { return engine->error; }

const char *reg_storage_last_error(void) { return s_error; }

reg_err_kind reg_storage_last_error_kind(void) { return s_error_kind; }

int reg_storage_last_errno(void) { return s_error_errno; }

void reg_storage_clear_error(void) {
    s_error[0] = '\0';
    s_error_kind = REG_ERR_NONE;
    s_error_errno = 0;
}

} // extern "C"
