// push_race.h - processes pushing images through the engine while others collect back to back, and a check
// of the whole tree afterwards; shared by the concurrency test and the stress program.
#ifndef REGISTRY_TESTS_PUSH_RACE_H
#define REGISTRY_TESTS_PUSH_RACE_H

#include <string>
#include <vector>

namespace pushrace {

struct options {
    std::string root; // storage root; the settings file is the working directory's
    int pushers = 3;
    int collectors = 1;
    // Processes deleting blobs, manifests by digest and whole repositories at
    // random while the others push and collect.
    int deleters = 0;
    double seconds = 3;
    // Unnamed layers dated an hour back before the pushers start, for the collections to remove.
    int old_layers = 400;
    // The same tree as the collectors reach it (another mount of one volume, say); empty: root.
    std::string collector_root;
};

struct totals {
    long pushes = 0;      // manifests stored
    long tag_deletes = 0; // tags deleted by the pushers
    long collections = 0; // runs that completed
    long refusals = 0;    // runs that ended with an error (they remove nothing)
    long blobs_deleted = 0;
    // A push whose own blob went missing although it finished under a second
    // before the manifest store: the promise broken.
    long push_violations = 0;
    // A push whose blob went missing more than a second after it finished
    // (allowed only with a grace period of 0), or that named a shared blob it
    // found by a presence check without uploading it.
    long late_failures = 0;
    long head_failures = 0;
    long other_errors = 0;         // any other failure of an upload, a manifest store or a collector's start
    // A tag deletion that failed otherwise than for a tag already gone: pushers
    // move the same tags, and a tag link rewritten in place can be read half written.
    long delete_errors = 0;
    long deletions = 0;            // deletions that removed something
    long deletions_refused = 0;    // refused because something named it, or it was gone, or another ran
    long lost_to_deletions = 0;    // pushes failed because a deletion removed what they named (with deleters)
    long manifests_checked = 0;    // stored manifests found at the end
    long tree_violations = 0;      // named blobs missing or not hashing to their names, leftovers
    std::vector<std::string> messages; // the first few failures, for the log
    double elapsed = 0;
    // From the pushers' start to the last pusher's end: the seeding and the check of the tree left out.
    double push_seconds = 0;
};

// Runs the pushers and collectors as forked processes until the time is up, then checks the tree.
totals run(const options &opts);

// Every stored manifest's blobs exist and hash to their names, every tag names a stored manifest;
// nothing is left aside, no store record remains.
long check_tree(const std::string &root, long *manifests, std::vector<std::string> *messages);

} // namespace pushrace

#endif
