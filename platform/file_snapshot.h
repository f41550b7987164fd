// file_snapshot.h - the text of a small file a process consults on every
// request (the settings, the password file), read again only when the file
// may have changed since it was last read.
#ifndef REG_FILE_SNAPSHOT_H
#define REG_FILE_SNAPSHOT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/platform.h"

enum { FILE_SNAPSHOT_TOO_LARGE = -3 };

struct file_snapshot {
    // 0 read whole, PLAT_MISSING (nothing at the path), FILE_SNAPSHOT_TOO_LARGE,
    // or -1 (unreadable; error holds the errno).
    int state = PLAT_MISSING;
    int error = 0;
    std::string text; // empty unless state is 0
    // Changes whenever what was read may differ from the previous look: another
    // state, another file, size or write time, or other bytes.
    uint64_t version = 0;
    // With follow 0: the path itself is a symbolic link (dangling when state
    // is PLAT_MISSING).
    bool link = false;

    // Looks at the file (one stat) and reads it again unless the look proves it
    // unchanged. follow 0 looks at a symbolic link itself first, so that a
    // missing file costs one call and a dangling link is told from no file
    // (see link). max bounds the text.
    void refresh(const char *path, size_t max, int follow = 1);

    // Tests: how long after its last change a file must have stood still before
    // its look is trusted (see refresh). Answers the previous value.
    static int64_t set_settle_ns(int64_t ns);
    // Tests and benchmarks: how many times any snapshot read a file's text.
    static uint64_t reads();

private:
    bool looked_ = false;
    bool settled_ = false;
    plat_file_id id_{};
    void read_text(const char *path, size_t max);
};

// config.json of the working directory as the settings lookups see it
// (platform/settings_file.cpp, base/settings.h), for a reader that parses it
// itself and must tell an absent file from a broken one. The reference stays
// good until the next lookup: for the thread that answers requests.
const file_snapshot &settings_file_snapshot();

#endif
