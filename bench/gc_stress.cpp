// gc_stress.cpp - the concurrency test made long: pushers and back-to-back collections over one storage tree for
// a bounded time, then a check of the whole tree; prints pushes, collections and violations (which must be 0).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/push_race.h"

namespace {

namespace fs = std::filesystem;

void usage() {
    fprintf(stderr, "usage: gc_stress [--seconds N] [--pushers N] [--collectors N] [--deleters N] [--grace N]\n"
                    "                 [--old-layers N] [--root DIR] [--collector-root DIR]\n"
                    "Runs in a fresh directory under the system's temporary directory, removed afterwards.\n"
                    "--old-layers: unnamed layers dated an hour back before the pushes start (default 400).\n"
                    "--root: the storage root, made if missing and left in place, so that collections can\n"
                    "also be run on it from elsewhere (another mount of the same volume, say).\n"
                    "--collector-root: the same tree as the collectors reach it (such another mount).\n");
}

} // namespace

int main(int argc, char **argv) {
    pushrace::options opts;
    opts.seconds = 30;
    opts.pushers = 6;
    int grace = 0;
    const char *root = nullptr, *collector_root = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!next) {
            usage();
            return 2;
        }
        if (strcmp(argv[i], "--seconds") == 0)
            opts.seconds = atof(next);
        else if (strcmp(argv[i], "--pushers") == 0)
            opts.pushers = atoi(next);
        else if (strcmp(argv[i], "--collectors") == 0)
            opts.collectors = atoi(next);
        else if (strcmp(argv[i], "--deleters") == 0)
            opts.deleters = atoi(next);
        else if (strcmp(argv[i], "--grace") == 0)
            grace = atoi(next);
        else if (strcmp(argv[i], "--old-layers") == 0)
            opts.old_layers = atoi(next);
        else if (strcmp(argv[i], "--root") == 0)
            root = next;
        else if (strcmp(argv[i], "--collector-root") == 0)
            collector_root = next;
        else {
            usage();
            return 2;
        }
        ++i;
    }
    if (opts.seconds <= 0 || opts.seconds > 3600 || opts.pushers < 1 || opts.collectors < 0 || opts.deleters < 0 ||
        opts.old_layers < 0) {
        usage();
        return 2;
    }
    // Resolved before the change of directory below.
    std::string given_root = root ? fs::absolute(root).string() : "";
    if (collector_root) opts.collector_root = fs::absolute(collector_root).string();
    std::string tmpl = (fs::temp_directory_path() / "gc-stress-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return 1;
    fs::path dir = tmpl;
    // The settings file is read from the working directory by every process.
    if (chdir(dir.c_str()) != 0) return 1;
    std::ofstream(dir / "config.json") << "{\"registry_gc_grace_seconds\": " << grace << "}";
    opts.root = root ? given_root : (dir / "root").string();

    pushrace::totals t = pushrace::run(opts);
    long violations = t.tree_violations + t.push_violations;
    printf("seconds %.1f pushers %d collectors %d grace %d\n", t.elapsed, opts.pushers, opts.collectors, grace);
    printf("pushes %ld (%.1f/s) tag_deletes %ld collections %ld refused %ld blobs_deleted %ld\n", t.pushes,
           t.pushes / t.elapsed, t.tag_deletes, t.collections, t.refusals, t.blobs_deleted);
    // The rate while pushing, without the seeding before and the tree check after.
    printf("push_phase %.1f s pushes/s %.2f old_layers %d\n", t.push_seconds,
           t.push_seconds > 0 ? t.pushes / t.push_seconds : 0.0, opts.old_layers);
    printf("late_failures %ld presence_check_failures %ld other_errors %ld delete_errors %ld manifests_checked %ld\n",
           t.late_failures, t.head_failures, t.other_errors, t.delete_errors, t.manifests_checked);
    printf("deleters %d deletions %ld refused %ld pushes_lost_to_deletions %ld\n", opts.deleters, t.deletions,
           t.deletions_refused, t.lost_to_deletions);
    printf("violations %ld\n", violations);
    for (const std::string &m : t.messages)
        printf("  %s\n", m.c_str());
    std::error_code ec;
    if (chdir("/") == 0) fs::remove_all(dir, ec);
    return violations == 0 && t.other_errors == 0 ? 0 : 1;
}
