// backup.cpp - a copy of the store that is whole while pushes go on.
//
// Why every manifest in the copy has its blobs, and every tag its manifest:
// a push stores a manifest only after the blobs it names (the put refuses a
// body naming a missing blob), and writes body, content type, revision link
// and tag in that order, each renamed whole into place. The copy takes the
// blob store first, then per repository the manifests that have a revision
// link (body and type before the link), then the tags. A manifest stored after
// the blob pass can name blobs the pass did not see, and a tag moved after the
// manifest pass can name a manifest it did not see; so every manifest copied
// has each blob and child manifest it names copied too when the copy lacks
// them, and every tag copied has its manifest copied first. Nothing is removed
// from the copy; a blob a collection holds aside for a moment is looked for
// again before the copy gives up on it. The storage descriptor is copied last:
// a copy that stopped half way is not taken for a store.
#include <errno.h>
#include <string.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/qf_str.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/admin_internal.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace {

constexpr size_t kCopyChunk = 1 << 20;
constexpr int kAsideRetries = 50; // a collection's look aside lasts one rename pair

struct json_doc_free_t {
    void operator()(json_doc *d) const { json_doc_free(d); }
};
using doc_ptr = std::unique_ptr<json_doc, json_doc_free_t>;

class backup_run {
public:
    explicit backup_run(std::string dest) : dest_(std::move(dest)) {}

    bool run() {
        if (!copy_blob_store()) return false;
        std::vector<std::string> repos, unlisted;
        admin_find_repos(repos, unlisted);
        if (!unlisted.empty()) return fail_at("cannot list repositories", unlisted.front());
        for (const std::string &repo : repos)
            if (!copy_revisions(repo)) return false;
        for (const std::string &repo : repos)
            if (!copy_tags(repo)) return false;
        return copy_if_present("config.json");
    }

    void report(admin_json &out) const {
        out.raw("{");
        out.num("blobs_copied", blobs_, false);
        out.num("blob_bytes_copied", bytes_);
        out.num("blobs_copied_for_late_manifests", late_blobs_);
        out.num("manifests_copied", manifests_);
        out.num("tags_copied", tags_);
        out.num("tags_skipped", tags_skipped_);
        out.raw("}");
    }

private:
    bool fail_at(const char *what, const std::string &rel) {
        set_error_kind(REG_ERR_IO, "%s: %s: %s", what, rel.c_str(), strerror(errno ? errno : EIO));
        return false;
    }

    std::string to(const std::string &rel) const { return dest_ + "/" + rel; }

    // Copies one file of the store to the same place in the copy, through a
    // temporary renamed into place after its bytes are flushed. 1 copied,
    // 0 absent in the store, -1 failed.
    int copy_file(const std::string &rel) {
        int in = plat_open_read(admin_at_root(rel).c_str());
        if (in < 0) return errno == ENOENT ? 0 : (fail_at("cannot read", rel), -1);
        std::string target = to(rel);
        std::string parent = target.substr(0, target.rfind('/'));
        std::string temp = parent + "/" PLAT_TEMP_PREFIX "backup-" + std::to_string(plat_process_id());
        bool ok = mkdirs(parent.c_str()) == 0 && plat_create_excl(temp.c_str()) == 0;
        int out = ok ? plat_open_append_existing(temp.c_str()) : -1;
        ok = out >= 0 && pump(in, out, rel);
        if (out >= 0) ok = plat_fsync(out) == 0 && plat_close(out) == 0 && ok;
        plat_close(in);
        if (ok && plat_rename(temp.c_str(), target.c_str()) == 0) return 1;
        int saved = errno;
        plat_unlink(temp.c_str());
        errno = saved;
        fail_at("cannot write the copy of", rel);
        return -1;
    }

    bool pump(int in, int out, const std::string &rel) {
        std::vector<char> buf(kCopyChunk);
        for (;;) {
            long n = plat_read(in, buf.data(), buf.size());
            if (n == 0) return true;
            if (n < 0) return fail_at("cannot read", rel);
            if (plat_write_all(out, buf.data(), static_cast<size_t>(n)) != 0) return false;
            last_bytes_ += n;
        }
    }

    bool copy_if_present(const std::string &rel) { return copy_file(rel) >= 0; }

    static std::string blob_rel(const std::string &hex) { return "blobs/sha256/" + hex.substr(0, 2) + "/" + hex; }

    bool copy_blob_store() {
        bool ok = true;
        bool walked = for_each_blob([&](const std::string &fanout, const std::string &hex) {
            // Only a blob in its own fan-out directory is where readers look.
            if (fanout != admin_at_root("blobs/sha256/" + hex.substr(0, 2))) return true;
            last_bytes_ = 0;
            int r = copy_file(blob_rel(hex));
            if (r < 0) return ok = false;
            if (r == 1) note_blob(hex, false);
            return true;
        });
        if (!ok) return false;
        // No blob store yet is an empty store, not a failure.
        return walked || plat_entry_kind(admin_at_root("blobs/sha256").c_str()) != PLAT_DIR;
    }

    void note_blob(const std::string &hex, bool late) {
        blobs_copied_.insert(hex);
        ++blobs_;
        bytes_ += last_bytes_;
        if (late) ++late_blobs_;
    }

    // A blob named by a manifest, copied now unless the copy holds it.
    bool ensure_blob(const char *digest) {
        std::string hex = digest + kDigestPrefixLen;
        if (blobs_copied_.count(hex)) return true;
        for (int attempt = 0; attempt < kAsideRetries; ++attempt) {
            last_bytes_ = 0;
            int r = copy_file(blob_rel(hex));
            if (r < 0) return false;
            if (r == 1) {
                note_blob(hex, true);
                return true;
            }
        }
        // Deleted in the store meanwhile: the copy reports it as its check would.
        set_error_kind(REG_ERR_NOT_FOUND, "blob %s is named by a stored manifest but is not in the store", digest);
        return false;
    }

    static std::string manifests_rel(const std::string &repo) { return "repositories/" + repo + "/_manifests"; }

    // One manifest: what it names, then body and type, then its revision link.
    // 1 copied (or already there), 0 no longer stored, -1 failed.
    int copy_manifest(const std::string &repo, const std::string &hex, int depth) {
        std::string key = repo + "@" + hex;
        if (manifests_copied_.count(key)) return 1;
        std::string dir = manifests_rel(repo);
        std::string link = dir + "/revisions/sha256/" + hex + "/link";
        if (plat_entry_kind(admin_at_root(link).c_str()) != PLAT_FILE) return 0;
        size_t len = 0;
        heap_text body(read_file_alloc(admin_at_root(dir + "/" + hex).c_str(), &len));
        if (!body) return errno == ENOENT ? 0 : (fail_at("cannot read manifest", dir + "/" + hex), -1);
        if (!copy_named(repo, body.get(), len, depth)) return -1;
        if (write_copy(dir + "/" + hex, body.get(), len) != 0) return -1;
        if (copy_file(dir + "/" + hex + ".ct") < 0 || copy_file(link) < 0) return -1;
        manifests_copied_.insert(key);
        ++manifests_;
        return 1;
    }

    int write_copy(const std::string &rel, const char *data, size_t len) {
        std::string target = to(rel);
        std::string parent = target.substr(0, target.rfind('/'));
        if (mkdirs(parent.c_str()) != 0 || plat_write_file_atomic(target.c_str(), data, len, PLAT_SYNC) != 0)
            return fail_at("cannot write the copy of", rel), -1;
        return 0;
    }

    // The blobs and child manifests a body names. An index's children are
    // taken from the same repository; one stored elsewhere is copied with
    // that repository.
    bool copy_named(const std::string &repo, const char *text, size_t len, int depth) {
        doc_ptr doc(json_read(text, len));
        json_val *root = json_doc_root(doc.get());
        if (!json_is_obj(root)) return true; // the copy's check reports it as the store's would
        for (const manifest_ref &ref : manifest_references(root).refs) {
            if (!ref_keeps(ref)) continue;
            if (ref.role != ref_role::child) {
                if (!ensure_blob(ref.digest)) return false;
            } else if (depth < 8 && copy_manifest(repo, ref.digest + kDigestPrefixLen, depth + 1) < 0) {
                return false;
            }
        }
        return true;
    }

    bool copy_revisions(const std::string &repo) {
        std::string dir = manifests_rel(repo) + "/revisions/sha256";
        std::vector<dir_item> items;
        if (plat_entry_kind(admin_at_root(dir).c_str()) != PLAT_DIR) return true;
        if (list_dir_all(admin_at_root(dir).c_str(), items) != 0) return fail_at("cannot list", dir);
        for (const dir_item &item : items)
            if (item.is_dir && hex64_valid(item.name.c_str()) && copy_manifest(repo, item.name, 0) < 0) return false;
        return true;
    }

    bool copy_tags(const std::string &repo) {
        std::string dir = manifests_rel(repo) + "/tags";
        std::vector<dir_item> items;
        if (plat_entry_kind(admin_at_root(dir).c_str()) != PLAT_DIR) return true;
        if (list_dir_all(admin_at_root(dir).c_str(), items) != 0) return fail_at("cannot list", dir);
        for (const dir_item &item : items) {
            if (!item.is_dir) continue;
            std::string rel = dir + "/" + item.name + "/current/link";
            char link[kTagLinkCap];
            size_t len = 0;
            if (read_file(admin_at_root(rel).c_str(), link, sizeof link, &len) != 0) continue; // deleted meanwhile
            std::string digest(link, len);
            int r = digest_valid(digest.c_str()) ? copy_manifest(repo, digest.substr(kDigestPrefixLen), 0) : 0;
            if (r < 0) return false;
            if (r == 0) { // its manifest went away with it: no tag that names nothing
                ++tags_skipped_;
                continue;
            }
            if (write_copy(rel, link, len) != 0) return false;
            ++tags_;
        }
        return true;
    }

    std::string dest_;
    std::unordered_set<std::string> blobs_copied_, manifests_copied_;
    long long blobs_ = 0, bytes_ = 0, late_blobs_ = 0, manifests_ = 0, tags_ = 0, tags_skipped_ = 0;
    long long last_bytes_ = 0;
};

// The absolute path dest names, resolving every link on the way; for a
// destination not yet made, its parent's path and the last name. Empty when
// neither resolves.
std::string resolve_dest(const char *dest) {
    char path[kPathMax];
    if (plat_entry_kind(dest) != PLAT_ABSENT)
        return plat_absolute_path(dest, path, sizeof path) == 0 ? std::string(path) : std::string();
    std::string d(dest);
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    size_t slash = d.rfind('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : d.substr(0, slash);
    std::string leaf = slash == std::string::npos ? d : d.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == ".." || plat_absolute_path(parent.c_str(), path, sizeof path) != 0)
        return std::string();
    std::string abs(path);
    return (abs == "/" ? abs : abs + "/") + leaf;
}

// The destination: a new directory, or an empty one, outside the store. The
// place is judged before anything is made, so a refused destination leaves
// nothing behind in the store.
bool prepare_dest(const char *dest, std::string &abs) {
    abs = resolve_dest(dest);
    if (abs.empty()) {
        set_error_kind(REG_ERR_INVALID, "not a directory, nor one that can be made: %s", dest);
        return false;
    }
    char root[kPathMax];
    std::string store = admin_at_root(".");
    if (plat_absolute_path(store.c_str(), root, sizeof root) != 0) {
        set_error_kind(REG_ERR_IO, "cannot resolve the storage root: %s", strerror(errno));
        return false;
    }
    if (abs == root || abs.rfind(std::string(root) + "/", 0) == 0) {
        set_error_kind(REG_ERR_INVALID, "the destination lies inside the store: %s", dest);
        return false;
    }
    if (plat_entry_kind(abs.c_str()) == PLAT_ABSENT && plat_mkdir(abs.c_str()) != 0) {
        set_error_kind(REG_ERR_IO, "cannot create %s: %s", dest, strerror(errno));
        return false;
    }
    std::vector<dir_item> items;
    if (plat_entry_kind(abs.c_str()) != PLAT_DIR || list_dir_all(abs.c_str(), items) != 0) {
        set_error_kind(REG_ERR_INVALID, "not a directory that can be listed: %s", dest);
        return false;
    }
    if (!items.empty()) {
        set_error_kind(REG_ERR_CONFLICT, "the destination is not empty: %s", dest);
        return false;
    }
    return true;
}

} // namespace

extern "C" const char *reg_backup_json(const char *dest) {
    return guarded<const char *>(nullptr, [&]() -> const char * {
        if (!dest || !*dest) {
            set_error_kind(REG_ERR_INVALID, "no destination");
            return nullptr;
        }
        if (!require_ready()) return nullptr;
        std::string abs;
        if (!prepare_dest(dest, abs)) return nullptr;
        backup_run r(abs);
        if (!r.run()) return nullptr;
        admin_json out;
        r.report(out);
        return s_result;
    });
}
