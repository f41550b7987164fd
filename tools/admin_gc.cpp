// admin_gc.cpp - registry-admin gc, gc status, gc cancel: a collection with its progress bar, followed from elsewhere.
#include <signal.h>
#include <stdio.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tools/admin_command.h"
#include "tools/admin_format.h"
#include "tools/admin_seam.h"

const char kHelpGc[] =
    "Usage: registry-admin gc [--dry-run]\n"
    "       registry-admin gc status [--watch]\n"
    "       registry-admin gc cancel\n"
    "\n"
    "gc removes abandoned uploads and the blobs no stored manifest names, then\n"
    "prints what it kept and removed. On a terminal a progress bar follows the run;\n"
    "Ctrl-C asks it to stop at its next check and the tool reports what was kept.\n"
    "  --dry-run   remove nothing, report what would be removed\n"
    "\n"
    "gc status prints the progress a collection publishes (in this or another\n"
    "process); --watch follows it until the run ends. gc cancel asks a running\n"
    "collection to stop.\n";

namespace {

constexpr int kProgressCap = 1024;
constexpr int kCorruptRetries = 5;    // reads of a snapshot that does not parse before calling it corrupt
constexpr int kBarIntervalMs = 100;   // redraw of a progress bar
constexpr int kWatchIntervalMs = 500; // reads of another process's progress

volatile sig_atomic_t g_interrupted = 0;
extern "C" void on_interrupt(int) { g_interrupted = 1; }

struct progress_view {
    bool running = false, dry_run = false, cancelled = false;
    std::string phase = "idle";
    int64_t scanned = 0, total = 0, deleted = 0, freed = 0, elapsed = 0, started = 0;
};

progress_view view_of(const char *text) {
    progress_view v;
    admin_doc d(text);
    if (!d.ok()) return v;
    v.running = d.flag("running");
    v.dry_run = d.flag("dry_run");
    v.cancelled = d.flag("cancelled");
    v.phase = d.str("phase");
    v.scanned = d.num("blobs_scanned");
    v.total = d.num("blobs_total");
    v.deleted = d.num("blobs_deleted");
    v.freed = d.num("bytes_freed");
    v.elapsed = d.num("elapsed_ms");
    v.started = d.num("started_unix");
    return v;
}

std::string progress_line(const progress_view &v) {
    std::string removed = v.dry_run ? "to remove " : "removed ";
    return v.phase + " " + admin_bar_cells(v.scanned, v.total) + " " + std::to_string(v.scanned) + "/" +
           std::to_string(v.total) + " blobs, " + removed + std::to_string(v.deleted) + " (" + human_bytes(v.freed) +
           "), " + human_duration_ms(v.elapsed);
}

// A snapshot caught half written reads as unparsable once; only one that stays so is corrupt.
int read_progress(char *out, size_t cap) {
    int state = -1;
    for (int attempt = 0; attempt < kCorruptRetries; ++attempt) {
        state = reg_gc_progress_r(out, cap);
        if (state >= 0) return state;
        admin_sleep_ms(kBarIntervalMs);
    }
    return state;
}

// Follows the run from a second thread: draws the bar on a terminal and turns
// Ctrl-C into a cancel request. It uses only the engine's reentrant progress
// and cancel calls, which leave the result buffer and last error to the run.
class gc_watcher {
public:
    explicit gc_watcher(bool draw) : draw_(draw), since_(plat_wall_seconds()), thread_([this] { loop(); }) {}
    ~gc_watcher() { stop(); }
    void stop() {
        if (!thread_.joinable()) return;
        done_ = true;
        thread_.join();
        if (drew_) admin_clear_line();
    }
    bool cancel_asked() const { return cancel_sent_; }

private:
    void loop() {
        while (true) {
            if (g_interrupted && !cancel_sent_) ask_cancel();
            if (draw_) draw();
            if (done_) return;
            admin_sleep_ms(kBarIntervalMs);
        }
    }
    void ask_cancel() {
        cancel_sent_ = true;
        char err[256];
        if (draw_) admin_clear_line();
        if (reg_gc_cancel_r(err, sizeof err) != 0)
            fprintf(stderr, "%s: cannot ask the collection to stop: %s\n", kAdminProg, err);
        else
            fprintf(stderr, "%s: stopping the collection at its next check...\n", kAdminProg);
    }
    void draw() {
        char text[kProgressCap];
        if (reg_gc_progress_r(text, sizeof text) < 0) return; // caught half written: keep the last line
        progress_view v = view_of(text);
        // Until this run writes its first snapshot, the file may still tell of an earlier one.
        if ((!v.running && v.phase == "idle") || v.started < since_) return;
        admin_draw_line(progress_line(v));
        drew_ = true;
    }

    bool draw_;
    int64_t since_;
    bool drew_ = false;
    std::atomic<bool> done_{false};
    std::atomic<bool> cancel_sent_{false};
    std::thread thread_;
};

// Why blobs an operator expected to go were kept, in words: the report's
// counts alone read as if the run failed.
void print_kept_reasons(admin_doc &d) {
    long long young = d.num("blobs_young_kept");
    if (young > 0) {
        long long within = d.num("young_kept_free_within_seconds");
        printf("%lld blob%s kept as young: written or used less than the grace period (%s) ago; a run in %s "
               "or later can remove %s if nothing names %s by then.\n",
               young, young == 1 ? " was" : "s were", human_duration_ms(d.num("grace_seconds") * 1000).c_str(),
               human_duration_ms((within > 0 ? within : 1) * 1000).c_str(), young == 1 ? "it" : "them",
               young == 1 ? "it" : "them");
    }
    long long uploads = d.num("uploads_in_progress");
    if (uploads > 0)
        printf("%lld upload%s in progress (written in the last 15 minutes) left alone.\n", uploads,
               uploads == 1 ? "" : "s");
}

void print_gc_summary(const char *report) {
    admin_doc d(report);
    bool dry = d.flag("dry_run");
    std::string when = human_duration_ms(d.num("elapsed_ms"));
    if (d.flag("cancelled"))
        printf("Collection cancelled after %s: it stopped at its next check; every blob not yet removed was kept.\n",
               when.c_str());
    else if (dry)
        printf("Dry run finished in %s: nothing was removed.\n", when.c_str());
    else
        printf("Collection finished in %s.\n", when.c_str());
    std::string removed = dry ? "Blobs to remove" : "Blobs removed";
    std::string stale = dry ? "Stale uploads to remove" : "Stale uploads removed";
    admin_print_pairs({
        {"Blobs counted", std::to_string(d.num("blobs_total"))},
        {"Blobs kept", std::to_string(d.num("blobs_kept"))},
        {removed, std::to_string(d.num("blobs_deleted")) + " (" + human_bytes(d.num("bytes_freed")) + ")"},
        {stale, std::to_string(d.num("stale_uploads")) + " (" + human_bytes(d.num("stale_upload_bytes")) + ")"},
    });
    print_kept_reasons(d);
}

} // namespace

int admin_gc_run(const admin_call &call) {
    const admin_options &o = call.o;
    bool dry_run = call.has("--dry-run");
    if (int rc = admin_open_store(o)) return rc;
    admin_collection_starts();
    g_interrupted = 0;
    plat_interrupt *saved = plat_on_interrupt(on_interrupt, 0);
    gc_watcher watcher(!o.json && plat_is_terminal(2));
    const char *report = reg_gc_json(dry_run ? 1 : 0);
    watcher.stop();
    plat_interrupt_restore(saved);
    if (!report) return admin_failure(std::string("collection refused: ") + reg_storage_last_error());
    if (o.json) return admin_print_json(report);
    print_gc_summary(report);
    return kExitOk;
}

namespace {

void print_status(const progress_view &v) {
    if (!v.running && v.phase == "idle") {
        printf("No collection is running, and none ended in the last 10 minutes.\n");
        return;
    }
    std::string head = v.running ? "Collection running, phase " + v.phase
                                 : std::string(v.cancelled ? "Last collection cancelled" : "Last collection finished");
    printf("%s%s.\n", head.c_str(), v.dry_run ? " (dry run)" : "");
    admin_print_pairs({
        {"Blobs scanned", std::to_string(v.scanned) + " of " + std::to_string(v.total)},
        {v.dry_run ? "Blobs to remove" : "Blobs removed",
         std::to_string(v.deleted) + " (" + human_bytes(v.freed) + ")"},
        {"Elapsed", human_duration_ms(v.elapsed)},
    });
}

} // namespace

int admin_gc_status(const admin_call &call) {
    const admin_options &o = call.o;
    bool watch = call.has("--watch");
    if (int rc = admin_open_store(o)) return rc;
    char text[kProgressCap];
    if (read_progress(text, sizeof text) < 0)
        return admin_failure("the collection's progress record is corrupt (it does not parse as a progress snapshot)");
    progress_view v = view_of(text);
    if (watch && v.running) {
        bool draw = !o.json && plat_is_terminal(2);
        std::string last;
        while (v.running) {
            std::string line = o.json ? std::string(text) : progress_line(v);
            if (draw)
                admin_draw_line(line);
            else if (line != last)
                printf("%s\n", line.c_str());
            fflush(stdout);
            last = line;
            admin_sleep_ms(kWatchIntervalMs);
            if (read_progress(text, sizeof text) < 0)
                return admin_failure(
                    "the collection's progress record is corrupt (it does not parse as a progress snapshot)");
            v = view_of(text);
        }
        if (draw) admin_clear_line();
    }
    if (o.json) return admin_print_json(text);
    print_status(v);
    return kExitOk;
}

int admin_gc_cancel(const admin_call &call) {
    const admin_options &o = call.o;
    if (int rc = admin_open_store(o)) return rc;
    char text[kProgressCap];
    if (read_progress(text, sizeof text) < 0)
        return admin_failure("the collection's progress record is corrupt (it does not parse as a progress snapshot)");
    if (!view_of(text).running) {
        if (o.json) return admin_print_json(text);
        printf("No collection is running; nothing to cancel.\n");
        return kExitOk;
    }
    if (reg_gc_cancel() != 0) return admin_engine_failure();
    if (o.json) return admin_print_json(text);
    printf("Asked the running collection to stop; it stops at its next check.\n");
    return kExitOk;
}
