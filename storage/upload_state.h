// upload_state.h - what the engine keeps beside an upload's part file: its owner and its running hash.
#ifndef REG_UPLOAD_STATE_H
#define REG_UPLOAD_STATE_H

#include <stdint.h>

// The digest of the part file from the hash kept while it was written, when
// that hash covers exactly the `part_size` bytes the file holds now; false
// when it must be read again (written by another path, or an append cut short).
bool upload_saved_digest(const char *id, int64_t part_size, uint8_t hash[32]);
// Removes what is kept beside the upload's part file.
void upload_state_remove(const char *id);
// Removes kept state whose part file is gone and that has not been written
// for more than quiet_seconds (left by a finish or cancel cut short).
void upload_state_sweep(bool dry_run, int64_t quiet_seconds);

// One writer per upload session: an append or a finish holds the session's
// lock file (uploads/_state/<id>.lock) while it runs, so a second request on
// the same session is refused instead of interleaving its bytes, and no byte
// lands in a part file after a finish took its hash (or in the blob it became).
// A lock whose holder process is gone from this host, or whose session has
// not been written for the abandon time, is taken over.
class upload_writer {
public:
    upload_writer() = default;
    ~upload_writer();
    upload_writer(const upload_writer &) = delete;
    upload_writer &operator=(const upload_writer &) = delete;
    // For an append. false with the last error set: REG_ERR_CONFLICT when
    // another request holds the session.
    bool acquire(const char *id);
    // For a finish: 1 when the session is held now; 0 when another finish
    // holds it, beside which this one may go on unlocked (two finishes verify
    // the same bytes and the move into the store is one rename; no append can
    // start while the other holds it); -1 with the last error set,
    // REG_ERR_CONFLICT when an append holds it. Called again, it takes the
    // lock if the other finish has let go meanwhile.
    int acquire_to_finish(const char *id);

private:
    // 0 with the lock held, PLAT_EXISTS when held by another (no error set), or -1 with the error set.
    int take(const char *id, const char *note);
    char path_[4096] = "";
};

#endif
