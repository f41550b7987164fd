// v2_admin.cpp - the operators' routes: garbage collection started, followed and cancelled, tag retention.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/qf_str.h"
#include "base/settings.h"
#include "front/http.h"
#include "platform/platform.h"

namespace {

// 1 for "1", "true" or a bare name, 0 for "0" or "false", fallback when
// absent; -1 for anything else.
int flag_param(const http_request &req, const char *name, int fallback = 0) {
    std::string value;
    bool found = false;
    if (!query_param(req.query, name, value, found)) return -1;
    if (!found) return fallback;
    if (value == "0" || value == "false") return 0;
    if (value == "1" || value == "true" || value.empty()) return 1;
    return -1;
}

// A whole number of at most 9 digits, or the fallback when absent; -1 when malformed.
long long number_param(const http_request &req, const char *name, long long fallback) {
    std::string value;
    bool found = false;
    if (!query_param(req.query, name, value, found)) return -1;
    if (!found) return fallback;
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) return -1;
    return strtoll(value.c_str(), nullptr, 10);
}

int clamp_int(long long v) { return v > INT_MAX ? INT_MAX : static_cast<int>(v); }

// The engine's last error as the outcome kept for the operator, after prefix.
void record_failure(const char *prefix) {
    std::string error = std::string(prefix) + reg_storage_last_error();
    reg_gc_record_result(nullptr, error.c_str());
}

// The outcome is kept by the run itself, after its last progress record:
// whoever follows the run until the outcome shows sees it ended.
void run_collection(void *arg) {
    int dry_run = *static_cast<int *>(arg);
    const char *report = reg_gc_json(dry_run);
    if (report) {
        reg_gc_record_result(report, nullptr);
        return;
    }
    record_failure("");
}

} // namespace

void handle_admin_usage(const http_request &, const route_match &, http_response &resp) {
    if (!front_storage_ready(resp)) return;
    const char *usage = reg_usage_json(settings_int(SETTINGS_QUOTA_BYTES));
    if (!usage) {
        respond_engine_error(resp, engine_op::repository);
        return;
    }
    respond_json(resp, 200, std::string(usage) + "\n");
}

void handle_admin_gc_status(const http_request &, const route_match &, http_response &resp) {
    if (!front_storage_ready(resp)) return;
    const char *status = reg_gc_status_json();
    if (!status) {
        respond_engine_error(resp, engine_op::repository);
        return;
    }
    respond_json(resp, 200, std::string(status) + "\n");
}

// The run goes on in a process of its own after the answer is sent: a
// collection of a large store takes longer than any client waits.
void handle_admin_gc_start(const http_request &req, const route_match &, http_response &resp) {
    static int dry_run = 0;
    dry_run = flag_param(req, "dry_run");
    if (dry_run < 0) {
        respond_error(resp, 400, "UNSUPPORTED", "dry_run must be 0 or 1");
        return;
    }
    if (!front_storage_ready(resp)) return;
    // The run lock is taken here, before the answer, and handed to the
    // detached run: of many starts at once exactly one is answered 202.
    if (reg_gc_lock() != 0) {
        if (reg_storage_last_error_kind() == REG_ERR_CONFLICT) {
            respond_json(resp, 409, std::string(reg_gc_progress_json()) + "\n");
            return;
        }
        record_failure("cannot start: ");
        respond_engine_error(resp, engine_op::repository);
        return;
    }
    if (plat_spawn_detached(run_collection, &dry_run) != 0) {
        reg_gc_lock_release();
        reg_gc_record_result(nullptr, "cannot start a collection: no process could be started");
        respond_error(resp, 500, "UNKNOWN", "cannot start a collection");
        return;
    }
    reg_gc_lock_handed_over();
    respond_json(resp, 202, std::string("{\"started\":true,\"dry_run\":") + (dry_run ? "true" : "false") + "}\n");
    resp.header("Location", "/v2/_admin/gc");
}

void handle_admin_gc_cancel(const http_request &, const route_match &, http_response &resp) {
    if (!front_storage_ready(resp)) return;
    if (reg_gc_cancel() != 0) {
        respond_engine_error(resp, engine_op::repository);
        return;
    }
    respond_json(resp, 202, "{\"cancel_requested\":true}\n");
    resp.header("Location", "/v2/_admin/gc");
}

// The settings give the rules; keep, days and include_latest in the query
// override them for this one call (a preview of other rules).
void handle_admin_retention(const http_request &req, const route_match &, http_response &resp) {
    int dry_run = flag_param(req, "dry_run");
    long long keep = number_param(req, "keep", settings_int(SETTINGS_RETENTION_KEEP_N));
    long long days = number_param(req, "days", settings_int(SETTINGS_RETENTION_DAYS));
    int include_latest = flag_param(req, "include_latest", settings_switch(SETTINGS_RETENTION_PROTECT_LATEST) ? 0 : 1);
    if (dry_run < 0 || keep < 0 || days < 0 || include_latest < 0) {
        respond_error(resp, 400, "UNSUPPORTED", "dry_run and include_latest take 0 or 1, keep and days whole numbers");
        return;
    }
    if (!front_storage_ready(resp)) return;
    int cut = 0;
    const char *report = reg_retention_json(dry_run, clamp_int(keep), clamp_int(days), include_latest, &cut);
    if (!report) {
        respond_engine_error(resp, engine_op::repository);
        return;
    }
    respond_json(resp, 200, std::string(report) + "\n");
    if (cut) resp.header("Retention-List-Cut", "true");
}
