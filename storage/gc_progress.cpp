// gc_progress.cpp - how another process follows a garbage-collection run and asks it to stop.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/qf_str.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"

namespace {

constexpr int64_t kSnapshotFreshSeconds = 600; // an older snapshot reports nothing
constexpr char kIdlePhase[] = "idle";
// The phase escaped for the snapshot: six bytes for each of its characters at
// worst, and the margin json_escape_append keeps free.
constexpr size_t kPhaseEscapedMax = (kGcPhaseMax - 1) * 6 + 9;

const char *bool_text(int value) { return value ? "true" : "false"; }

gc_progress idle_record() {
    gc_progress record{};
    qf_strlcpy(record.phase, kIdlePhase, sizeof record.phase);
    return record;
}

bool utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The phase is cut to what the record holds, but never inside a multi-byte
// character: half a character would make the rendered snapshot invalid UTF-8.
void copy_phase(char *phase, const char *text) {
    size_t len = strnlen(text, kGcPhaseMax - 1);
    // text[len] is the first byte left out (or the terminator); while it
    // continues a character, that character's start is left out too.
    while (len > 0 && utf8_continuation(static_cast<unsigned char>(text[len])))
        --len;
    memcpy(phase, text, len);
    phase[len] = '\0';
}

// Milliseconds since a wall-clock start. A start so far off that the result
// leaves the 64-bit range reads as that range's end; the arithmetic is done in
// 128 bits, where it cannot overflow.
int64_t elapsed_since(int64_t started_unix) {
    const __int128 ms = (static_cast<__int128>(plat_wall_seconds()) - started_unix) * 1000;
    if (ms > INT64_MAX) return INT64_MAX;
    if (ms < INT64_MIN) return INT64_MIN;
    return static_cast<int64_t>(ms);
}

// What a snapshot of the given text says, or the idle record when it says nothing.
gc_progress parse_snapshot(const char *text, size_t len, bool *parsed) {
    gc_progress record = idle_record();
    json_doc_ptr doc(json_read(text, len));
    json_val *root = json_doc_root(doc.get());
    *parsed = json_is_obj(root) != 0;
    if (!*parsed) return record;

    record.running = gc_json_bool(root, "running");
    record.blobs_scanned = static_cast<int32_t>(static_cast<uint32_t>(gc_json_int(root, "blobs_scanned")));
    record.blobs_total = static_cast<int32_t>(static_cast<uint32_t>(gc_json_int(root, "blobs_total")));
    record.blobs_deleted = static_cast<int32_t>(static_cast<uint32_t>(gc_json_int(root, "blobs_deleted")));
    record.bytes_freed = gc_json_int(root, "bytes_freed");
    record.dry_run = gc_json_bool(root, "dry_run");
    record.started_unix = gc_json_int(root, "started_unix");
    record.cancelled = gc_json_bool(root, "cancelled");
    json_val *phase = json_obj_get(root, "phase");
    if (json_is_str(phase)) copy_phase(record.phase, json_get_str(phase));

    // A snapshot without its own elapsed time is measured from its start on the wall clock.
    record.elapsed_ms = gc_json_int(root, "elapsed_ms");
    if (record.elapsed_ms <= 0)
        record.elapsed_ms = record.started_unix > 0 ? elapsed_since(record.started_unix) : 0;
    if (!record.running && record.phase[0] == '\0') qf_strlcpy(record.phase, "done", sizeof record.phase);
    return record;
}

enum class snapshot_state { fresh, none, unreadable };

gc_progress read_snapshot(snapshot_state *state = nullptr) {
    snapshot_state ignored;
    if (!state) state = &ignored;
    *state = snapshot_state::none;
    // Before any start-up there is no storage root to read below.
    if (!s_root[0]) return idle_record();
    char path[kPathMax];
    gc_state_path(path, kGcProgressFile);
    int kind = plat_entry_kind(path);
    if (kind == PLAT_ABSENT) return idle_record();
    *state = snapshot_state::unreadable;
    size_t len = 0;
    heap_text text(read_file_alloc(path, &len));
    if (!text) return idle_record();
    int64_t mtime = -1;
    if (plat_file_info(path, nullptr, &mtime) != 0 || mtime < 0) return idle_record();
    if (plat_wall_seconds() - mtime > kSnapshotFreshSeconds) {
        *state = snapshot_state::none;
        return idle_record();
    }
    bool parsed = false;
    gc_progress record = parse_snapshot(text.get(), len, &parsed);
    if (parsed) *state = snapshot_state::fresh;
    return record;
}

// Creates the cancel marker; the failure text, or NULL.
const char *write_cancel_marker() {
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/%s", s_root, kGcDir);
    if (plat_entry_kind(dir) != PLAT_DIR && mkdirs(dir) != 0) return "cannot create gc state directory";
    char path[kPathMax];
    gc_state_path(path, kGcCancelFile);
    if (write_file(path, "", 0) != 0) return "cannot write gc cancel marker";
    return nullptr;
}

} // namespace

void gc_state_path(char *out, const char *file) { qf_snprintf(out, kPathMax, "%s/%s/%s", s_root, kGcDir, file); }

// The phase may come from a snapshot another process wrote, so it is escaped
// like any string; what a run writes itself is plain and passes unchanged.
void gc_snapshot_json(const gc_progress *p, char *out) {
    char phase[kPhaseEscapedMax];
    json_escape_append(phase, sizeof phase, p->phase);
    qf_snprintf(out, kGcSnapshotMax,
                "{\"running\":%s,\"phase\":\"%s\",\"blobs_scanned\":%d,\"blobs_total\":%d,\"blobs_deleted\":%d,"
                "\"bytes_freed\":%lld,\"dry_run\":%s,\"started_unix\":%lld,\"elapsed_ms\":%lld,\"cancelled\":%s}",
                bool_text(p->running), phase, p->blobs_scanned, p->blobs_total, p->blobs_deleted,
                static_cast<long long>(p->bytes_freed), bool_text(p->dry_run), static_cast<long long>(p->started_unix),
                static_cast<long long>(p->elapsed_ms), bool_text(p->cancelled));
}

int gc_cancel_requested(void) {
    char path[kPathMax];
    gc_state_path(path, kGcCancelFile);
    return plat_entry_kind(path) == PLAT_FILE ? 1 : 0;
}

int gc_json_bool(json_val *obj, const char *key) {
    if (!json_is_obj(obj)) return 0;
    json_val *value = json_obj_get(obj, key);
    return json_is_bool(value) && json_get_bool(value) ? 1 : 0;
}

// An unsigned value beyond the signed range keeps its bits, as a 64-bit reader would.
int64_t gc_json_int(json_val *obj, const char *key) {
    if (!json_is_obj(obj)) return 0;
    json_val *value = json_obj_get(obj, key);
    if (!json_is_int(value)) return 0;
    if (json_is_sint(value)) return json_get_sint(value);
    return static_cast<int64_t>(json_get_uint(value));
}

static int gc_cancel_body(void) {
    if (!require_ready()) return -1;
    if (const char *failure = write_cancel_marker()) {
        set_error("%s", failure);
        return -1;
    }
    return 0;
}

extern "C" int reg_gc_cancel(void) {
    return guarded<int>(-1, [&] { return gc_cancel_body(); });
}

extern "C" const char *reg_gc_progress_json(void) {
    gc_progress record = read_snapshot();
    char text[kGcSnapshotMax];
    gc_snapshot_json(&record, text);
    qf_strlcpy(s_result, text, kResultMax);
    return s_result;
}

namespace {

constexpr size_t kLastResultMax = 65536; // a report is far shorter; more is not shown

// The kept outcome, or "" when there is none (the read fails) or it is no JSON object.
std::string read_last_result() {
    char path[kPathMax];
    gc_state_path(path, kGcLastResultFile);
    std::string text(kLastResultMax, '\0');
    size_t len = 0;
    if (read_file(path, text.data(), text.size(), &len) != 0) return "";
    text.resize(len);
    return !text.empty() && text.front() == '{' && text.back() == '}' ? text : "";
}

} // namespace

extern "C" int reg_gc_record_result(const char *report, const char *error) {
    if (!require_ready()) return -1;
    return guarded(-1, [&] {
        std::string text;
        if (report) {
            text = report;
        } else {
            char escaped[kErrorMax * 6 + 16];
            json_escape_append(escaped, sizeof escaped, error ? error : "");
            text = std::string("{\"error\":\"") + escaped + "\"}";
        }
        char dir[kPathMax];
        qf_snprintf(dir, sizeof dir, "%s/%s", s_root, kGcDir);
        char path[kPathMax];
        gc_state_path(path, kGcLastResultFile);
        if ((plat_entry_kind(dir) != PLAT_DIR && mkdirs(dir) != 0) || write_file(path, text.data(), text.size()) != 0) {
            set_error("cannot keep the collection's result");
            return -1;
        }
        return 0;
    });
}

// The kept outcome is read before the progress record. A run writes its
// final progress record before its outcome is kept, so an outcome read here
// is never shown beside the progress of the very run it is the outcome of,
// still going on: whoever follows a run until its outcome appears sees it ended.
extern "C" const char *reg_gc_status_json(void) {
    if (!require_ready()) return nullptr;
    return guarded<const char *>(nullptr, [] {
        std::string last = read_last_result();
        gc_progress record = read_snapshot();
        char text[kGcSnapshotMax];
        gc_snapshot_json(&record, text);
        std::string status = text;
        if (!last.empty() && status.back() == '}') {
            status.pop_back();
            status += ",\"last_result\":" + last + "}";
        }
        if (status.size() >= kResultMax) status = text;
        qf_strlcpy(s_result, status.c_str(), kResultMax);
        return static_cast<const char *>(s_result);
    });
}

extern "C" int reg_gc_progress_r(char *out, size_t cap) {
    snapshot_state state;
    gc_progress record = read_snapshot(&state);
    char text[kGcSnapshotMax];
    gc_snapshot_json(&record, text);
    if (out && cap > 0) qf_strlcpy(out, text, cap);
    switch (state) {
    case snapshot_state::fresh: return 1;
    case snapshot_state::none: return 0;
    case snapshot_state::unreadable: break;
    }
    return -1;
}

extern "C" int reg_gc_cancel_r(char *err, size_t cap) {
    if (err && cap > 0) err[0] = '\0';
    const char *failure = s_ready ? write_cancel_marker() : "not initialized - call reg_storage_init first";
    if (!failure) return 0;
    if (err && cap > 0) qf_strlcpy(err, failure, cap);
    return -1;
}
