// check.cpp - verifies the whole tree and, on request, moves what is damaged aside so that collections can run again.
#include <string.h>

#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/qf_str.h"
#include "digest/sha256.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/admin_internal.h"
#include "storage/storage_internal.h"

namespace {

constexpr char kQuarantineDir[] = "_quarantine";
constexpr int kQuarantineTries = 100; // names tried for this run's quarantine directory
constexpr size_t kIssueFixed = 256;   // the pieces of one issue element besides its texts

// Problems, as the report names them.
constexpr char kBlobMismatch[] = "blob content does not match its digest";
constexpr char kBlobUnreadable[] = "blob cannot be read";
constexpr char kStrayFile[] = "stray file";
constexpr char kStrayDir[] = "stray directory";
constexpr char kUnlisted[] = "directory cannot be listed";
constexpr char kBodyUnreadable[] = "manifest cannot be read";
constexpr char kBodyMismatch[] = "manifest content does not match its digest";
constexpr char kBodyUnparsable[] = "manifest is not a JSON object";
constexpr char kMissingBlob[] = "manifest names a blob that is missing or damaged";
constexpr char kMissingChild[] = "manifest index names a manifest that is not stored";
constexpr char kTagDangling[] = "tag names a manifest that is not stored";
constexpr char kRevisionDangling[] = "revision link names a manifest that is not stored";
constexpr char kRevisionMismatch[] = "revision link does not name its own digest";
constexpr char kSymlink[] = "symbolic link (never followed; the engine writes none)";

// What happened to the file an issue is about.
constexpr char kActionReported[] = "reported";
constexpr char kActionMoved[] = "moved";
constexpr char kActionLeft[] = "left";
constexpr char kActionMoveFailed[] = "move failed";

struct issue {
    const char *problem;
    std::string path; // relative to the storage root
    std::string detail;
    const char *action = kActionReported;
    std::string moved_to;
};

bool ends_with(const std::string &text, const char *suffix) {
    size_t n = strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

std::string hex_of_file(const std::string &path, bool *ok) {
    uint8_t digest[32];
    *ok = sha256_file(path.c_str(), digest) == 0;
    char hex[kHexLen + 1] = "";
    if (*ok) sha256_hex(digest, hex);
    return hex;
}

std::string hex_of_bytes(const char *data, size_t len) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    uint8_t digest[32];
    sha256_final(&ctx, digest);
    char hex[kHexLen + 1];
    sha256_hex(digest, hex);
    return hex;
}

struct blob_file {
    std::string rel;
    std::string hex;
    int64_t size;
};

struct pending_child {
    std::string body_rel;
    std::string digest;
};

class checker {
public:
    checker(bool repair, reg_check_progress_fn progress, void *arg)
        : repair_(repair), progress_(progress), progress_arg_(arg) {}

    const char *run() {
        check_blobs();
        std::vector<std::string> repos, unlisted;
        admin_find_repos(repos, unlisted);
        std::sort(repos.begin(), repos.end());
        for (const std::string &rel : unlisted)
            report(kUnlisted, rel, "", false);
        for (const std::string &repo : repos)
            check_manifests(repo);
        for (const pending_child &child : children_)
            if (!stored_anywhere_.count(child.digest.substr(kDigestPrefixLen)))
                report(kMissingChild, child.body_rel, child.digest, false);
        for (const std::string &repo : repos) {
            check_revisions(repo);
            check_tags(repo);
        }
        check_uploads();
        check_links("");
        return write_report();
    }

private:
    // Moves a file into this run's quarantine directory, keeping its path
    // below the storage root, so that nothing is ever lost to a repair.
    void report(const char *problem, const std::string &rel, const std::string &detail, bool movable) {
        issue i{problem, rel, detail, kActionReported, ""};
        if (repair_) {
            i.action = kActionLeft;
            if (movable) move_aside(i);
        }
        issues_.push_back(std::move(i));
    }

    void move_aside(issue &i) {
        i.action = kActionMoveFailed;
        if (quarantine_.empty() && !make_quarantine()) return;
        std::string to = quarantine_ + "/" + i.path;
        std::string target = admin_at_root(to);
        std::string parent = target.substr(0, target.rfind('/'));
        if (mkdirs(parent.c_str()) != 0 || plat_rename(admin_at_root(i.path).c_str(), target.c_str()) != 0) return;
        i.action = kActionMoved;
        i.moved_to = to;
        ++moved_;
    }

    bool make_quarantine() {
        if (mkdirs(admin_at_root(kQuarantineDir).c_str()) != 0) return false;
        long long now = static_cast<long long>(plat_wall_seconds());
        for (int n = 0; n < kQuarantineTries; ++n) {
            char name[128];
            if (n == 0)
                qf_snprintf(name, sizeof name, "%s/%lld", kQuarantineDir, now);
            else
                qf_snprintf(name, sizeof name, "%s/%lld-%d", kQuarantineDir, now, n);
            // plat_mkdir answers PLAT_EXISTS for a directory another run made: try the next name.
            if (plat_mkdir(admin_at_root(name).c_str()) == 0) {
                quarantine_ = name;
                return true;
            }
        }
        return false;
    }

    bool list(const std::string &rel, std::vector<dir_item> &items) {
        if (list_dir_all(admin_at_root(rel).c_str(), items) == 0) return true;
        report(kUnlisted, rel, "", false);
        return false;
    }

    // ---- blob store ------------------------------------------------------

    void check_blobs() {
        std::vector<dir_item> top;
        if (list("blobs", top))
            for (const dir_item &item : top)
                if (item.name != "sha256") stray("blobs/" + item.name, item.is_dir);
        std::vector<blob_file> files;
        blob_walk_visitor walk;
        walk.fanout = [&](const std::string &, const std::string &name, const std::vector<dir_item> &items) {
            collect_fanout("blobs/sha256/" + name, name, items, files);
            return true;
        };
        walk.unlisted = [&](const std::string &rel) { report(kUnlisted, rel, "", false); };
        walk.other = [&](const std::string &rel, const dir_item &) { stray(rel, false); };
        for_each_fanout(walk);
        int64_t total = 0;
        for (const blob_file &f : files)
            total += f.size;
        int64_t done = 0;
        for (const blob_file &f : files) {
            verify_blob(f);
            done += f.size;
            if (progress_) progress_(done, total, progress_arg_);
        }
    }

    void collect_fanout(const std::string &rel, const std::string &fanout, const std::vector<dir_item> &items,
                        std::vector<blob_file> &files) {
        for (const dir_item &item : items) {
            std::string path = rel + "/" + item.name;
            // A blob a collection moved aside goes back or away at the next run.
            if (!item.is_dir && item.name.size() == kHexLen + 6 && ends_with(item.name, ".aside") &&
                hex64_valid(item.name.substr(0, kHexLen).c_str()))
                continue;
            // A blob stands in the directory its first two digits name; anywhere else no lookup finds it.
            if (item.is_dir || !hex64_valid(item.name.c_str()) || item.name.compare(0, 2, fanout) != 0) {
                stray(path, item.is_dir);
                continue;
            }
            files.push_back({path, item.name, admin_size_or_zero(admin_at_root(path))});
        }
    }

    void verify_blob(const blob_file &f) {
        ++blobs_checked_;
        blob_bytes_checked_ += f.size;
        bool ok = false;
        std::string hex = hex_of_file(admin_at_root(f.rel), &ok);
        if (!ok) {
            report(kBlobUnreadable, f.rel, "", true);
        } else if (hex != f.hex) {
            report(kBlobMismatch, f.rel, "sha256:" + hex, true);
        } else {
            sound_blobs_.insert(f.hex);
        }
    }

    // Every symbolic link anywhere in the tree; the walk itself follows none.
    void check_links(const std::string &rel) {
        std::string path = admin_at_root(rel);
        plat_dir *dir = plat_dir_open(path.c_str());
        if (!dir) return;
        std::vector<std::string> subdirs;
        const char *name;
        int is_dir, is_link;
        while (plat_dir_next(dir, &name, &is_dir, &is_link)) {
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
            std::string child = rel.empty() ? name : rel + "/" + name;
            if (is_link)
                report(kSymlink, child, "", true);
            else if (is_dir)
                subdirs.push_back(child);
        }
        plat_dir_close(dir);
        for (const std::string &sub : subdirs)
            check_links(sub);
    }

    void stray(const std::string &rel, bool is_dir) { report(is_dir ? kStrayDir : kStrayFile, rel, "", !is_dir); }

    // ---- manifests -------------------------------------------------------

    static std::string manifests_rel(const std::string &repo) { return "repositories/" + repo + "/_manifests"; }

    void check_manifests(const std::string &repo) {
        std::string dir = manifests_rel(repo);
        std::vector<dir_item> items;
        if (!list(dir, items)) return;
        std::unordered_set<std::string> names;
        for (const dir_item &item : items)
            if (!item.is_dir) names.insert(item.name);
        std::unordered_set<std::string> &sound = sound_manifests_[repo];
        for (const dir_item &item : items) {
            std::string rel = dir + "/" + item.name;
            if (item.is_dir) {
                if (item.name != "revisions" && item.name != "tags") stray(rel, true);
            } else if (hex64_valid(item.name.c_str())) {
                if (check_body(rel, item.name)) sound.insert(item.name);
            } else if (!(ends_with(item.name, ".ct") && item.name.size() == kHexLen + 3 &&
                         names.count(item.name.substr(0, kHexLen)))) {
                stray(rel, false);
            }
        }
    }

    // A body that is moved aside takes its content-type file with it.
    void move_body(const char *problem, const std::string &rel, const std::string &detail) {
        report(problem, rel, detail, true);
        if (repair_ && issues_.back().action == kActionMoved && plat_entry_kind(admin_at_root(rel + ".ct").c_str()) == PLAT_FILE) {
            issue ct{problem, rel + ".ct", "content type of the manifest moved with it", kActionReported, ""};
            move_aside(ct);
            issues_.push_back(std::move(ct));
        }
    }

    bool check_body(const std::string &rel, const std::string &hex) {
        ++manifests_checked_;
        size_t len = 0;
        heap_text text(read_file_alloc(admin_at_root(rel).c_str(), &len));
        if (!text) {
            report(kBodyUnreadable, rel, "", false);
            return false;
        }
        std::string actual = hex_of_bytes(text.get(), len);
        if (actual != hex) {
            move_body(kBodyMismatch, rel, "sha256:" + actual);
            return false;
        }
        json_doc_ptr doc(json_read(text.get(), len));
        json_val *root = json_doc_root(doc.get());
        if (!json_is_obj(root)) {
            move_body(kBodyUnparsable, rel, "");
            return false;
        }
        stored_anywhere_.insert(hex);
        // An index names manifests, which may be stored in any repository; an
        // image names blobs. The body itself is sound either way, so it stays.
        manifest_refs refs = manifest_references(root);
        for (const manifest_ref &ref : refs.refs) {
            if (!ref.digest) continue;
            if (refs.is_index && ref.role == ref_role::child)
                children_.push_back({rel, ref.digest});
            else if (!refs.is_index && (ref.role == ref_role::config || ref.role == ref_role::layer))
                check_blob_ref(rel, ref.digest);
        }
        return true;
    }

    void check_blob_ref(const std::string &rel, const char *digest) {
        if (!sound_blobs_.count(digest + kDigestPrefixLen)) report(kMissingBlob, rel, digest, false);
    }

    // ---- links -----------------------------------------------------------

    // The link's content when it names a digest, else empty.
    static std::string read_link(const std::string &rel) {
        char link[kTagLinkCap];
        size_t len = 0;
        if (read_file(admin_at_root(rel).c_str(), link, sizeof link, &len) != 0) return "";
        std::string text(link, len);
        return digest_valid(text.c_str()) ? text : "";
    }

    bool manifest_sound(const std::string &repo, const std::string &digest) {
        return !digest.empty() && sound_manifests_[repo].count(digest.substr(kDigestPrefixLen)) != 0;
    }

    void check_revisions(const std::string &repo) {
        std::string dir = manifests_rel(repo) + "/revisions/sha256";
        if (plat_entry_kind(admin_at_root(dir).c_str()) == PLAT_ABSENT) return;
        std::vector<dir_item> items;
        if (!list(dir, items)) return;
        for (const dir_item &item : items) {
            std::string rel = dir + "/" + item.name;
            if (!item.is_dir || !hex64_valid(item.name.c_str())) {
                stray(rel, item.is_dir);
                continue;
            }
            std::string link_rel = rel + "/link";
            // A revision directory without its link is what a deletion leaves; nothing reads it.
            if (plat_entry_kind(admin_at_root(link_rel).c_str()) != PLAT_FILE) continue;
            ++revisions_checked_;
            std::string digest = read_link(link_rel);
            if (digest != "sha256:" + item.name)
                report(kRevisionMismatch, link_rel, digest, true);
            else if (!manifest_sound(repo, digest))
                report(kRevisionDangling, link_rel, digest, true);
        }
    }

    void check_tags(const std::string &repo) {
        std::string dir = manifests_rel(repo) + "/tags";
        if (plat_entry_kind(admin_at_root(dir).c_str()) == PLAT_ABSENT) return;
        std::vector<dir_item> items;
        if (!list(dir, items)) return;
        for (const dir_item &item : items) {
            std::string link_rel = dir + "/" + item.name + "/current/link";
            if (!item.is_dir) {
                stray(dir + "/" + item.name, false);
                continue;
            }
            if (plat_entry_kind(admin_at_root(link_rel).c_str()) != PLAT_FILE) continue;
            ++tags_checked_;
            std::string digest = read_link(link_rel);
            if (!manifest_sound(repo, digest)) report(kTagDangling, link_rel, digest, true);
        }
    }

    // Part files are uploads in progress or abandoned ones that a collection
    // removes; "_state" holds what the engine keeps beside them (owner, hash,
    // the writer's lock), which a collection sweeps too. Anything else is stray.
    void check_uploads() {
        std::vector<dir_item> items;
        if (!list("uploads", items)) return;
        for (const dir_item &item : items) {
            if (item.is_dir && item.name == "_state") continue;
            if (item.is_dir || !ends_with(item.name, ".part") || item.name.size() <= 5)
                stray("uploads/" + item.name, item.is_dir);
        }
    }

    // ---- report ----------------------------------------------------------

    const char *write_report() {
        admin_json out;
        out.raw(repair_ ? "{\"repair\":true" : "{\"repair\":false");
        out.num("blobs_checked", blobs_checked_);
        out.num("blob_bytes_checked", blob_bytes_checked_);
        out.num("manifests_checked", manifests_checked_);
        out.num("revisions_checked", revisions_checked_);
        out.num("tags_checked", tags_checked_);
        out.num("problems", static_cast<long long>(issues_.size()));
        out.num("moved", moved_);
        out.raw(",\"quarantine\":");
        out.quoted(quarantine_);
        out.raw(",\"issues\":[");
        bool cut = false;
        for (size_t k = 0; k < issues_.size(); ++k) {
            const issue &i = issues_[k];
            size_t need = kIssueFixed + admin_escaped_max(i.path) + admin_escaped_max(i.detail) +
                          admin_escaped_max(i.moved_to);
            if (!out.fits(need)) {
                cut = true;
                break;
            }
            out.raw(k ? ",{\"problem\":" : "{\"problem\":");
            out.quoted(i.problem);
            out.raw(",\"path\":");
            out.quoted(i.path);
            out.raw(",\"detail\":");
            out.quoted(i.detail);
            out.raw(",\"action\":");
            out.quoted(i.action);
            if (!i.moved_to.empty()) {
                out.raw(",\"moved_to\":");
                out.quoted(i.moved_to);
            }
            out.raw("}");
        }
        out.raw(cut ? "],\"issues_cut\":true}" : "],\"issues_cut\":false}");
        return s_result;
    }

    bool repair_;
    reg_check_progress_fn progress_;
    void *progress_arg_;
    std::string quarantine_;
    std::vector<issue> issues_;
    std::unordered_set<std::string> sound_blobs_;
    std::unordered_set<std::string> stored_anywhere_;
    std::unordered_map<std::string, std::unordered_set<std::string>> sound_manifests_;
    std::vector<pending_child> children_;
    long long blobs_checked_ = 0, blob_bytes_checked_ = 0, manifests_checked_ = 0;
    long long revisions_checked_ = 0, tags_checked_ = 0, moved_ = 0;
};

} // namespace

extern "C" const char *reg_check_json(int repair, reg_check_progress_fn progress, void *arg) {
    if (!require_ready()) return nullptr;
    return guarded<const char *>(nullptr, [&] {
        checker c(repair != 0, progress, arg);
        return c.run();
    });
}
