// admin_pause_seam.cpp - registry-admin for tests: REGISTRY_ADMIN_TEST_PAUSE_DIR holds a collection before it removes.
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tools/admin_seam.h"

namespace {

constexpr int kPauseLimitMs = 60000; // the pause never holds a run longer than this
std::string s_dir;

// Holds the run just before its first removal until the test lets it go, so
// that a second process can read the progress and cancel at a known point.
// Timing alone cannot give that: a small store is collected in milliseconds.
extern "C" void pause_before_removal(void *) {
    plat_create_excl((s_dir + "/paused").c_str());
    for (int waited = 0; waited < kPauseLimitMs; waited += 10) {
        if (plat_entry_kind((s_dir + "/resume").c_str()) != PLAT_ABSENT) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

void admin_collection_starts() {
    const char *dir = getenv("REGISTRY_ADMIN_TEST_PAUSE_DIR");
    if (!dir || !*dir) return;
    s_dir = dir;
    // Unlink 1 removes the run lock's temporary name; 2 is the first removal.
    plat_hook_inject(PLAT_OP_UNLINK, 2, pause_before_removal, nullptr);
}
