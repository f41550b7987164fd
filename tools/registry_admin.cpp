// registry_admin.cpp - registry-admin: collections, retention, usage, listings and checks, run on the registry host.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/qf_str.h"
#include "base/settings.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tools/admin_format.h"
#include "tools/admin_user.h"

namespace {

constexpr char kProg[] = "registry-admin";
enum exit_status { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

constexpr size_t kPathCap = 4096;
constexpr int kProgressCap = 1024;
constexpr int kCorruptRetries = 5;       // reads of a snapshot that does not parse before calling it corrupt
constexpr int kBarIntervalMs = 100;      // redraw of a progress bar
constexpr int kWatchIntervalMs = 500;    // reads of another process's progress
constexpr int kBarWidth = 24;            // cells of the bar itself
constexpr int kTestPauseLimitMs = 60000; // the test pause never holds a run longer than this
constexpr char kPauseEnv[] = "REGISTRY_ADMIN_TEST_PAUSE_DIR";

// ---- help texts ---------------------------------------------------------------

constexpr char kHelpMain[] =
    "Usage: registry-admin [--root DIR] [--instance DIR] [--json] COMMAND [OPTIONS]\n"
    "\n"
    "Maintenance of the registry's storage tree, run on the registry host.\n"
    "\n"
    "Commands:\n"
    "  gc [--dry-run]        collect unreferenced blobs and abandoned uploads\n"
    "  gc status [--watch]   show (or follow) the progress of a collection in another process\n"
    "  gc cancel             ask a running collection to stop\n"
    "  retention [--dry-run] [--keep N] [--days D] [--include-latest]\n"
    "                        delete old tags (defaults from the settings file)\n"
    "  usage                 what the store holds, in all and per repository\n"
    "  ls [REPO]             the repositories, or one repository's tags\n"
    "  check [--repair]      verify the whole tree; --repair moves damaged files aside\n"
    "  backup DEST           copy the store into DEST while pushes go on\n"
    "  user add|passwd|del|ls  the users of the password file (see user --help)\n"
    "\n"
    "Options (before or after the command):\n"
    "  --root DIR      storage root (else REGISTRY_STORAGE_ROOT, else the settings\n"
    "                  file config.json of the instance directory, else ./registry_storage)\n"
    "  --instance DIR  instance directory holding config.json (default: the current directory)\n"
    "  --json          print the engine's JSON instead of tables\n"
    "  --help          this text; COMMAND --help for one command\n"
    "\n"
    "Exit status: 0 success, 1 the engine refused or failed (message on standard error),\n"
    "2 usage error.\n";

constexpr char kHelpGc[] =
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

constexpr char kHelpRetention[] =
    "Usage: registry-admin retention [--dry-run] [--keep N] [--days D] [--include-latest]\n"
    "\n"
    "Deletes tags beyond the N newest of each repository, or at least D days old.\n"
    "Defaults come from the settings file: registry_retention_keep_n,\n"
    "registry_retention_days and registry_retention_protect_latest. 0 switches a rule off.\n"
    "  --dry-run         delete nothing, list what would be deleted\n"
    "  --keep N          keep the N newest tags of each repository (0 to 2147483647)\n"
    "  --days D          delete tags at least D days old (0 to 2147483647)\n"
    "  --include-latest  treat a tag named \"latest\" like any other\n";

constexpr char kHelpUsage[] =
    "Usage: registry-admin usage\n"
    "\n"
    "Repositories, tags, manifests, blobs and bytes of the store; the share of the\n"
    "quota in use when registry_quota_bytes is set; per repository the bytes of the\n"
    "blobs its manifests name (a shared blob counts in each repository, once in all).\n";

constexpr char kHelpLs[] =
    "Usage: registry-admin ls [REPO]\n"
    "\n"
    "Without REPO: every repository with its tag and manifest counts.\n"
    "With REPO: its tags with digest, media type, manifest size and age.\n";

constexpr char kHelpCheck[] =
    "Usage: registry-admin check [--repair]\n"
    "\n"
    "Verifies the whole tree: every blob hashes to its name, every manifest parses,\n"
    "hashes to its name and names stored blobs, every tag and revision link names a\n"
    "stored manifest, and no stray files lie about. Exit status 1 when problems remain.\n"
    "  --repair   move damaged and stray files into a quarantine directory under the\n"
    "             storage root (nothing is deleted) and say what moved\n";

// ---- small helpers -------------------------------------------------------------

int usage_error(const std::string &message, const char *command) {
    fprintf(stderr, "%s: %s\n", kProg, message.c_str());
    if (command)
        fprintf(stderr, "Try '%s %s --help'.\n", kProg, command);
    else
        fprintf(stderr, "Try '%s --help'.\n", kProg);
    return kExitUsage;
}

int failure(const std::string &message) {
    fprintf(stderr, "%s: %s\n", kProg, message.c_str());
    return kExitFailed;
}

int engine_failure() { return failure(reg_storage_last_error()); }

int print_json(const char *text) {
    printf("%s\n", text);
    return kExitOk;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Digits only, 0 to 2147483647: a sign, a fraction or a value past the 32-bit range is refused.
bool parse_count(const std::string &text, int *out) {
    if (text.empty() || text.size() > 10) return false;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > INT32_MAX) return false;
    *out = static_cast<int>(value);
    return true;
}

int clamp_setting(int64_t value) { return value > INT32_MAX ? INT32_MAX : static_cast<int>(value); }

std::string short_digest(const std::string &digest) {
    constexpr size_t kShown = 7 + 12;
    return digest.size() > kShown ? digest.substr(0, kShown) : digest;
}

// A parsed engine document with typed lookups that answer 0, false or "" when a member is absent.
class doc {
public:
    explicit doc(const char *text) : doc_(json_read(text, strlen(text))), root_(json_doc_root(doc_.get())) {}
    bool ok() const { return json_is_obj(root_) != 0; }
    json_val *root() const { return root_; }

    static int64_t num(json_val *obj, const char *key) {
        json_val *v = json_obj_get(obj, key);
        if (json_is_sint(v)) return json_get_sint(v);
        if (json_is_real(v)) return static_cast<int64_t>(json_get_real(v));
        return 0;
    }
    static double real(json_val *obj, const char *key) { return json_get_real(json_obj_get(obj, key)); }
    static bool flag(json_val *obj, const char *key) { return json_get_bool(json_obj_get(obj, key)) != 0; }
    static std::string str(json_val *obj, const char *key) {
        const char *s = json_get_str(json_obj_get(obj, key));
        return s ? s : "";
    }
    int64_t num(const char *key) const { return num(root_, key); }
    bool flag(const char *key) const { return flag(root_, key); }
    std::string str(const char *key) const { return str(root_, key); }
    json_val *arr(const char *key) const { return json_obj_get(root_, key); }

private:
    json_doc_ptr doc_;
    json_val *root_;
};

// Label and value lines with the values in one column.
void print_pairs(const std::vector<std::pair<std::string, std::string>> &pairs) {
    size_t width = 0;
    for (const auto &p : pairs)
        width = std::max(width, p.first.size());
    for (const auto &p : pairs)
        printf("  %-*s  %s\n", static_cast<int>(width), p.first.c_str(), p.second.c_str());
}

std::string bar_cells(int64_t done, int64_t total) {
    int filled = total > 0 ? static_cast<int>(done * kBarWidth / total) : 0;
    if (filled > kBarWidth) filled = kBarWidth;
    std::string cells = "[";
    cells.append(static_cast<size_t>(filled), '#');
    cells.append(static_cast<size_t>(kBarWidth - filled), '-');
    cells += ']';
    return cells;
}

// Redraws one line of standard error in place, cut to the terminal's width.
void draw_line(std::string line) {
    int columns = plat_terminal_columns(2);
    if (columns > 1 && line.size() >= static_cast<size_t>(columns)) line.resize(static_cast<size_t>(columns - 1));
    fprintf(stderr, "\r%s\033[K", line.c_str());
    fflush(stderr);
}

void clear_line() {
    fprintf(stderr, "\r\033[K");
    fflush(stderr);
}

// ---- command line ---------------------------------------------------------------

struct options {
    std::string root;
    std::string instance;
    bool json = false;
    bool help = false;
    std::vector<std::string> words; // the command and its own options, in order
};

// Takes the options every command shares from anywhere on the line.
bool parse_common(int argc, char **argv, options &o, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name, std::string &out) {
            std::string prefix = std::string(name) + "=";
            if (a.compare(0, prefix.size(), prefix) == 0) {
                out = a.substr(prefix.size());
            } else if (i + 1 < argc) {
                out = argv[++i];
            } else {
                error = std::string(name) + " needs a directory";
                return false;
            }
            if (out.empty()) {
                error = std::string(name) + " needs a directory";
                return false;
            }
            return true;
        };
        if (a == "--json") {
            o.json = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--root" || a.rfind("--root=", 0) == 0) {
            if (!value("--root", o.root)) return false;
        } else if (a == "--instance" || a.rfind("--instance=", 0) == 0) {
            if (!value("--instance", o.instance)) return false;
        } else {
            o.words.push_back(a);
        }
    }
    return true;
}

// Refuses a root that is not already a registry store before the engine
// starts, since the engine's start-up creates whatever is missing.
int open_store(const options &o) {
    std::string root = o.root;
    if (!o.instance.empty()) {
        char here[kPathCap];
        if (!root.empty() && root[0] != '/' && plat_current_dir(here, sizeof here) == 0)
            root = std::string(here) + "/" + root;
        if (plat_chdir(o.instance.c_str()) != 0) return failure("cannot enter instance directory: " + o.instance);
    }
    if (root.empty()) {
        char setting[kPathCap];
        settings_storage_root(setting, sizeof setting);
        root = setting;
    }
    if (plat_entry_kind(root.c_str()) != PLAT_DIR) return failure("storage root does not exist: " + root);
    bool is_store = plat_entry_kind((root + "/config.json").c_str()) == PLAT_FILE &&
                    plat_entry_kind((root + "/blobs").c_str()) == PLAT_DIR &&
                    plat_entry_kind((root + "/repositories").c_str()) == PLAT_DIR;
    if (!is_store)
        return failure("not a registry store (no storage descriptor config.json, blobs or repositories): " + root);
    if (reg_storage_init(root.c_str()) != 0) return engine_failure();
    return kExitOk;
}

// The command's own options; anything else is a usage error.
struct flag_spec {
    const char *name;
    bool takes_value;
};

bool parse_flags(const std::vector<std::string> &words, size_t from, const std::vector<flag_spec> &specs,
                 std::vector<std::pair<std::string, std::string>> &out, std::vector<std::string> &positional,
                 std::string &error) {
    for (size_t i = from; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (w.size() < 2 || w[0] != '-') {
            positional.push_back(w);
            continue;
        }
        std::string name = w, value;
        size_t eq = w.find('=');
        if (eq != std::string::npos) {
            name = w.substr(0, eq);
            value = w.substr(eq + 1);
        }
        const flag_spec *spec = nullptr;
        for (const flag_spec &s : specs)
            if (name == s.name) spec = &s;
        if (!spec) {
            error = "unknown option: " + w;
            return false;
        }
        if (spec->takes_value && eq == std::string::npos) {
            if (i + 1 >= words.size()) {
                error = name + " needs a value";
                return false;
            }
            value = words[++i];
        } else if (!spec->takes_value && eq != std::string::npos) {
            error = name + " takes no value";
            return false;
        }
        out.emplace_back(name, value);
    }
    return true;
}

// ---- gc ---------------------------------------------------------------------------

volatile sig_atomic_t g_interrupted = 0;
extern "C" void on_interrupt(int) { g_interrupted = 1; }

struct progress_view {
    bool running = false, dry_run = false, cancelled = false;
    std::string phase = "idle";
    int64_t scanned = 0, total = 0, deleted = 0, freed = 0, elapsed = 0, started = 0;
};

progress_view view_of(const char *text) {
    progress_view v;
    doc d(text);
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
    return v.phase + " " + bar_cells(v.scanned, v.total) + " " + std::to_string(v.scanned) + "/" +
           std::to_string(v.total) + " blobs, " + removed + std::to_string(v.deleted) + " (" + human_bytes(v.freed) +
           "), " + human_duration_ms(v.elapsed);
}

// A snapshot caught half written reads as unparsable once; only one that stays so is corrupt.
int read_progress(char *out, size_t cap) {
    int state = -1;
    for (int attempt = 0; attempt < kCorruptRetries; ++attempt) {
        state = reg_gc_progress_r(out, cap);
        if (state >= 0) return state;
        sleep_ms(kBarIntervalMs);
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
        if (drew_) clear_line();
    }
    bool cancel_asked() const { return cancel_sent_; }

private:
    void loop() {
        while (true) {
            if (g_interrupted && !cancel_sent_) ask_cancel();
            if (draw_) draw();
            if (done_) return;
            sleep_ms(kBarIntervalMs);
        }
    }
    void ask_cancel() {
        cancel_sent_ = true;
        char err[256];
        if (draw_) clear_line();
        if (reg_gc_cancel_r(err, sizeof err) != 0)
            fprintf(stderr, "%s: cannot ask the collection to stop: %s\n", kProg, err);
        else
            fprintf(stderr, "%s: stopping the collection at its next check...\n", kProg);
    }
    void draw() {
        char text[kProgressCap];
        if (reg_gc_progress_r(text, sizeof text) < 0) return; // caught half written: keep the last line
        progress_view v = view_of(text);
        // Until this run writes its first snapshot, the file may still tell of an earlier one.
        if ((!v.running && v.phase == "idle") || v.started < since_) return;
        draw_line(progress_line(v));
        drew_ = true;
    }

    bool draw_;
    int64_t since_;
    bool drew_ = false;
    std::atomic<bool> done_{false};
    std::atomic<bool> cancel_sent_{false};
    std::thread thread_;
};

// Test hook: holds the run just before its first removal until the test lets
// it go, so that a second process can read the progress and cancel at a known
// point. Timing alone cannot give that: a small store is collected in milliseconds.
struct test_pause {
    std::string dir;
};

extern "C" void pause_before_removal(void *arg) {
    const std::string &dir = static_cast<test_pause *>(arg)->dir;
    plat_create_excl((dir + "/paused").c_str());
    for (int waited = 0; waited < kTestPauseLimitMs; waited += 10) {
        if (plat_entry_kind((dir + "/resume").c_str()) != PLAT_ABSENT) return;
        sleep_ms(10);
    }
}

// Why blobs an operator expected to go were kept, in words: the report's
// counts alone read as if the run failed.
void print_kept_reasons(doc &d) {
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
    doc d(report);
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
    print_pairs({
        {"Blobs counted", std::to_string(d.num("blobs_total"))},
        {"Blobs kept", std::to_string(d.num("blobs_kept"))},
        {removed, std::to_string(d.num("blobs_deleted")) + " (" + human_bytes(d.num("bytes_freed")) + ")"},
        {stale, std::to_string(d.num("stale_uploads")) + " (" + human_bytes(d.num("stale_upload_bytes")) + ")"},
    });
    print_kept_reasons(d);
}

int gc_run(const options &o, bool dry_run) {
    test_pause pause;
    if (const char *dir = getenv(kPauseEnv); dir && *dir) {
        pause.dir = dir;
        // Unlink 1 removes the run lock's temporary name; 2 is the first removal.
        plat_hook_inject(PLAT_OP_UNLINK, 2, pause_before_removal, &pause);
    }
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGINT, &action, &previous);

    gc_watcher watcher(!o.json && plat_is_terminal(2));
    const char *report = reg_gc_json(dry_run ? 1 : 0);
    watcher.stop();
    sigaction(SIGINT, &previous, nullptr);
    if (!report) return failure(std::string("collection refused: ") + reg_storage_last_error());
    if (o.json) return print_json(report);
    print_gc_summary(report);
    return kExitOk;
}

void print_status(const progress_view &v) {
    if (!v.running && v.phase == "idle") {
        printf("No collection is running, and none ended in the last 10 minutes.\n");
        return;
    }
    std::string head = v.running ? "Collection running, phase " + v.phase
                                 : std::string(v.cancelled ? "Last collection cancelled" : "Last collection finished");
    printf("%s%s.\n", head.c_str(), v.dry_run ? " (dry run)" : "");
    print_pairs({
        {"Blobs scanned", std::to_string(v.scanned) + " of " + std::to_string(v.total)},
        {v.dry_run ? "Blobs to remove" : "Blobs removed", std::to_string(v.deleted) + " (" + human_bytes(v.freed) + ")"},
        {"Elapsed", human_duration_ms(v.elapsed)},
    });
}

int gc_status(const options &o, bool watch) {
    char text[kProgressCap];
    if (read_progress(text, sizeof text) < 0)
        return failure("the collection's progress record is corrupt (it does not parse as a progress snapshot)");
    progress_view v = view_of(text);
    if (watch && v.running) {
        bool draw = !o.json && plat_is_terminal(2);
        std::string last;
        while (v.running) {
            std::string line = o.json ? std::string(text) : progress_line(v);
            if (draw)
                draw_line(line);
            else if (line != last)
                printf("%s\n", line.c_str());
            fflush(stdout);
            last = line;
            sleep_ms(kWatchIntervalMs);
            if (read_progress(text, sizeof text) < 0)
                return failure("the collection's progress record is corrupt (it does not parse as a progress snapshot)");
            v = view_of(text);
        }
        if (draw) clear_line();
    }
    if (o.json) return print_json(text);
    print_status(v);
    return kExitOk;
}

int gc_cancel(const options &o) {
    char text[kProgressCap];
    if (read_progress(text, sizeof text) < 0)
        return failure("the collection's progress record is corrupt (it does not parse as a progress snapshot)");
    if (!view_of(text).running) {
        if (o.json) return print_json(text);
        printf("No collection is running; nothing to cancel.\n");
        return kExitOk;
    }
    if (reg_gc_cancel() != 0) return engine_failure();
    if (o.json) return print_json(text);
    printf("Asked the running collection to stop; it stops at its next check.\n");
    return kExitOk;
}

int cmd_gc(const options &o) {
    std::string sub = o.words.size() > 1 && o.words[1][0] != '-' ? o.words[1] : "";
    if (o.help) return printf("%s", kHelpGc), kExitOk;
    std::vector<std::pair<std::string, std::string>> flags;
    std::vector<std::string> rest;
    std::string error;
    std::vector<flag_spec> specs;
    if (sub.empty())
        specs = {{"--dry-run", false}};
    else if (sub == "status")
        specs = {{"--watch", false}};
    else if (sub != "cancel")
        return usage_error("unknown gc command: " + sub, "gc");
    if (!parse_flags(o.words, sub.empty() ? 1 : 2, specs, flags, rest, error)) return usage_error(error, "gc");
    if (!rest.empty()) return usage_error("unexpected argument: " + rest[0], "gc");
    if (int rc = open_store(o)) return rc;
    if (sub == "status") return gc_status(o, !flags.empty());
    if (sub == "cancel") return gc_cancel(o);
    return gc_run(o, !flags.empty());
}

// ---- retention --------------------------------------------------------------------

int cmd_retention(const options &o) {
    if (o.help) return printf("%s", kHelpRetention), kExitOk;
    std::vector<std::pair<std::string, std::string>> flags;
    std::vector<std::string> rest;
    std::string error;
    if (!parse_flags(o.words, 1, {{"--dry-run", false}, {"--keep", true}, {"--days", true}, {"--include-latest", false}},
                     flags, rest, error))
        return usage_error(error, "retention");
    if (!rest.empty()) return usage_error("unexpected argument: " + rest[0], "retention");
    bool dry = false, include_latest = false, keep_given = false, days_given = false, latest_given = false;
    int keep = 0, days = 0;
    for (const auto &[name, value] : flags) {
        if (name == "--dry-run") {
            dry = true;
        } else if (name == "--include-latest") {
            include_latest = latest_given = true;
        } else {
            int *target = name == "--keep" ? &keep : &days;
            if (!parse_count(value, target))
                return usage_error(name + " needs a whole number from 0 to 2147483647, not '" + value + "'", "retention");
            (name == "--keep" ? keep_given : days_given) = true;
        }
    }
    if (int rc = open_store(o)) return rc;
    // The settings file of the instance directory, which open_store made the working directory.
    if (!keep_given) keep = clamp_setting(settings_int(SETTINGS_RETENTION_KEEP_N));
    if (!days_given) days = clamp_setting(settings_int(SETTINGS_RETENTION_DAYS));
    if (!latest_given) include_latest = settings_switch(SETTINGS_RETENTION_PROTECT_LATEST) == 0;

    int cut = 0;
    const char *report = reg_retention_json(dry ? 1 : 0, keep, days, include_latest ? 1 : 0, &cut);
    if (!report) return engine_failure();
    if (cut)
        fprintf(stderr, "%s: warning: the report lists only the first tags; more were %s\n", kProg,
                dry ? "selected" : "deleted");
    if (o.json) return print_json(report);

    doc d(report);
    table t({"REPOSITORY", "TAG", "DIGEST", "AGE"}, {false, false, false, true});
    json_val *list = d.arr("deleted");
    for (size_t i = 0; i < json_arr_size(list); ++i) {
        json_val *e = json_arr_get(list, i);
        t.add({doc::str(e, "repository"), doc::str(e, "tag"), short_digest(doc::str(e, "digest")),
               std::to_string(doc::num(e, "age_days")) + " d"});
    }
    if (keep == 0 && days == 0) printf("No retention rule is set (keep 0, days 0): no tag is selected.\n");
    if (!t.empty()) t.print(stdout);
    printf("%s %lld of %lld tags in %lld repositories; %lld kept",
           dry ? "Would delete" : "Deleted", static_cast<long long>(d.num("tags_deleted")),
           static_cast<long long>(d.num("tags_total")), static_cast<long long>(d.num("repos_scanned")),
           static_cast<long long>(d.num("tags_kept")));
    if (int64_t spared = d.num("latest_protected")) printf(", %lld \"latest\" spared", static_cast<long long>(spared));
    printf(" (keep %d, days %d%s).\n", keep, days, include_latest ? ", latest included" : "");
    return kExitOk;
}

// ---- usage and ls -----------------------------------------------------------------

int cmd_usage(const options &o) {
    if (o.help) return printf("%s", kHelpUsage), kExitOk;
    std::vector<std::pair<std::string, std::string>> flags;
    std::vector<std::string> rest;
    std::string error;
    if (!parse_flags(o.words, 1, {}, flags, rest, error)) return usage_error(error, "usage");
    if (!rest.empty()) return usage_error("unexpected argument: " + rest[0], "usage");
    if (int rc = open_store(o)) return rc;
    const char *report = reg_usage_json(settings_int(SETTINGS_QUOTA_BYTES));
    if (!report) return engine_failure();
    if (o.json) return print_json(report);

    doc d(report);
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"Repositories", std::to_string(d.num("repositories"))},
        {"Tags", std::to_string(d.num("tags"))},
        {"Manifests", std::to_string(d.num("manifests"))},
        {"Blobs", std::to_string(d.num("blobs")) + " (" + human_bytes(d.num("blob_bytes")) + ")"},
        {"Named by manifests", std::to_string(d.num("referenced_blobs")) + " (" +
                                   human_bytes(d.num("referenced_bytes")) + ")"},
        {"Uploads in progress", std::to_string(d.num("active_uploads")) + " (" + human_bytes(d.num("upload_bytes")) + ")"},
    };
    if (int64_t quota = d.num("quota_bytes")) {
        char share[32];
        qf_snprintf(share, sizeof share, "%.1f%%", d.real(d.root(), "quota_used_percent"));
        pairs.push_back({"Quota", human_bytes(d.num("blob_bytes")) + " of " + human_bytes(quota) + " (" + share + ")"});
    }
    if (int64_t bad = d.num("unreadable_manifests"))
        pairs.push_back({"Unreadable manifests", std::to_string(bad) + " (run 'registry-admin check')"});
    print_pairs(pairs);
    table t({"REPOSITORY", "TAGS", "MANIFESTS", "BLOBS", "BYTES"}, {false, true, true, true, true});
    json_val *repos = d.arr("repos");
    for (size_t i = 0; i < json_arr_size(repos); ++i) {
        json_val *r = json_arr_get(repos, i);
        t.add({doc::str(r, "name"), std::to_string(doc::num(r, "tags")), std::to_string(doc::num(r, "manifests")),
               std::to_string(doc::num(r, "blobs")), human_bytes(doc::num(r, "bytes"))});
    }
    if (!t.empty()) {
        printf("\n");
        t.print(stdout);
    }
    if (d.flag("repos_cut")) fprintf(stderr, "%s: warning: the list of repositories was cut to fit\n", kProg);
    return kExitOk;
}

int cmd_ls(const options &o) {
    if (o.help) return printf("%s", kHelpLs), kExitOk;
    std::vector<std::pair<std::string, std::string>> flags;
    std::vector<std::string> rest;
    std::string error;
    if (!parse_flags(o.words, 1, {}, flags, rest, error)) return usage_error(error, "ls");
    if (rest.size() > 1) return usage_error("unexpected argument: " + rest[1], "ls");
    if (int rc = open_store(o)) return rc;
    if (rest.empty()) {
        const char *list = reg_repos_json();
        if (!list) return engine_failure();
        if (o.json) return print_json(list);
        doc d(list);
        table t({"REPOSITORY", "TAGS", "MANIFESTS"}, {false, true, true});
        json_val *repos = d.arr("repositories");
        for (size_t i = 0; i < json_arr_size(repos); ++i) {
            json_val *r = json_arr_get(repos, i);
            t.add({doc::str(r, "name"), std::to_string(doc::num(r, "tags")), std::to_string(doc::num(r, "manifests"))});
        }
        if (t.empty())
            printf("No repositories.\n");
        else
            t.print(stdout);
        return kExitOk;
    }
    const char *tags = reg_repo_tags_json(rest[0].c_str());
    if (!tags) return engine_failure();
    if (o.json) return print_json(tags);
    doc d(tags);
    table t({"TAG", "DIGEST", "MEDIA TYPE", "SIZE", "AGE"}, {false, false, false, true, true});
    json_val *list = d.arr("tags");
    for (size_t i = 0; i < json_arr_size(list); ++i) {
        json_val *e = json_arr_get(list, i);
        int64_t size = doc::num(e, "size");
        t.add({doc::str(e, "tag"), short_digest(doc::str(e, "digest")), doc::str(e, "media_type"),
               size < 0 ? "missing" : human_bytes(size), human_age(doc::num(e, "age_seconds"))});
    }
    if (t.empty())
        printf("No tags in %s.\n", rest[0].c_str());
    else
        t.print(stdout);
    return kExitOk;
}

// ---- check ------------------------------------------------------------------------

struct check_bar {
    bool draw;
    uint64_t last_ms = 0;
    bool drew = false;
};

extern "C" void on_check_progress(int64_t done, int64_t total, void *arg) {
    auto *bar = static_cast<check_bar *>(arg);
    if (!bar->draw) return;
    uint64_t now = plat_monotonic_ms();
    if (bar->drew && done < total && now - bar->last_ms < static_cast<uint64_t>(kBarIntervalMs)) return;
    bar->last_ms = now;
    bar->drew = true;
    draw_line("hashing blobs " + bar_cells(done, total) + " " + human_bytes(done) + " of " + human_bytes(total));
}

int cmd_check(const options &o) {
    if (o.help) return printf("%s", kHelpCheck), kExitOk;
    std::vector<std::pair<std::string, std::string>> flags;
    std::vector<std::string> rest;
    std::string error;
    if (!parse_flags(o.words, 1, {{"--repair", false}}, flags, rest, error)) return usage_error(error, "check");
    if (!rest.empty()) return usage_error("unexpected argument: " + rest[0], "check");
    bool repair = !flags.empty();
    if (int rc = open_store(o)) return rc;
    check_bar bar{!o.json && plat_is_terminal(2)};
    const char *report = reg_check_json(repair ? 1 : 0, on_check_progress, &bar);
    if (bar.drew) clear_line();
    if (!report) return engine_failure();
    doc d(report);
    int64_t problems = d.num("problems");
    int64_t left = 0;
    json_val *issues = d.arr("issues");
    for (size_t i = 0; i < json_arr_size(issues); ++i)
        if (doc::str(json_arr_get(issues, i), "action") != "moved") ++left;
    if (d.flag("issues_cut")) left = problems - d.num("moved");
    int status = left > 0 ? kExitFailed : kExitOk;
    if (o.json) {
        print_json(report);
        return status;
    }
    table t(repair ? std::vector<std::string>{"PROBLEM", "PATH", "DETAIL", "ACTION"}
                   : std::vector<std::string>{"PROBLEM", "PATH", "DETAIL"},
            {false, false, false, false});
    for (size_t i = 0; i < json_arr_size(issues); ++i) {
        json_val *e = json_arr_get(issues, i);
        std::string action = doc::str(e, "action");
        if (action == "moved") action += " to " + doc::str(e, "moved_to");
        t.add({doc::str(e, "problem"), doc::str(e, "path"), doc::str(e, "detail"), action});
    }
    if (!t.empty()) t.print(stdout);
    printf("Checked %lld blobs (%s), %lld manifests, %lld revision links, %lld tags: %lld problems.\n",
           static_cast<long long>(d.num("blobs_checked")), human_bytes(d.num("blob_bytes_checked")).c_str(),
           static_cast<long long>(d.num("manifests_checked")), static_cast<long long>(d.num("revisions_checked")),
           static_cast<long long>(d.num("tags_checked")), static_cast<long long>(problems));
    if (repair && d.num("moved") > 0)
        printf("Moved %lld files into %s (nothing was deleted).\n", static_cast<long long>(d.num("moved")),
               d.str("quarantine").c_str());
    if (d.flag("issues_cut")) fprintf(stderr, "%s: warning: the list of problems was cut to fit\n", kProg);
    return status;
}

// ---- backup --------------------------------------------------------------------

constexpr char kHelpBackup[] =
    "Usage: registry-admin backup DEST\n"
    "\n"
    "Copies the store into DEST (a new or empty directory outside the store) while\n"
    "the registry keeps serving: blobs first, then manifests with every blob and\n"
    "child manifest they name, then tags with their manifests, so every manifest and\n"
    "tag in the copy is whole. Uploads in progress, the quarantine and the access log\n"
    "are not copied. Serve the copy (its root as storage_root) or run check on it.\n";

int cmd_backup(const options &o) {
    if (o.help) return printf("%s", kHelpBackup), kExitOk;
    std::vector<std::pair<std::string, std::string>> flags;
    std::vector<std::string> rest;
    std::string error;
    if (!parse_flags(o.words, 1, {}, flags, rest, error)) return usage_error(error, "backup");
    if (rest.size() != 1) return usage_error(rest.empty() ? "no destination given" : "unexpected argument: " + rest[1], "backup");
    if (int rc = open_store(o)) return rc;
    const char *report = reg_backup_json(rest[0].c_str());
    if (!report) return engine_failure();
    if (o.json) return print_json(report);
    doc d(report);
    printf("Copied %lld blobs (%s; %lld of them named by manifests stored during the copy), %lld manifests, "
           "%lld tags into %s.\n",
           static_cast<long long>(d.num("blobs_copied")), human_bytes(d.num("blob_bytes_copied")).c_str(),
           static_cast<long long>(d.num("blobs_copied_for_late_manifests")),
           static_cast<long long>(d.num("manifests_copied")), static_cast<long long>(d.num("tags_copied")),
           rest[0].c_str());
    if (d.num("tags_skipped") > 0)
        printf("%lld tags were deleted with their manifests during the copy and left out.\n",
               static_cast<long long>(d.num("tags_skipped")));
    return kExitOk;
}

} // namespace

int main(int argc, char **argv) {
    options o;
    std::string error;
    if (!parse_common(argc, argv, o, error)) return usage_error(error, nullptr);
    if (o.words.empty()) {
        if (o.help) return printf("%s", kHelpMain), kExitOk;
        return usage_error("no command given", nullptr);
    }
    const std::string &command = o.words[0];
    if (command == "gc") return cmd_gc(o);
    if (command == "retention") return cmd_retention(o);
    if (command == "usage") return cmd_usage(o);
    if (command == "ls") return cmd_ls(o);
    if (command == "check") return cmd_check(o);
    if (command == "backup") return cmd_backup(o);
    if (command == "user") return o.help ? (printf("%s", kHelpUser), kExitOk) : admin_user_command(o.words, o.instance);
    if (command == "help") return printf("%s", kHelpMain), kExitOk;
    if (command[0] == '-') return usage_error("unknown option: " + command, nullptr);
    return usage_error("unknown command: " + command, nullptr);
}
