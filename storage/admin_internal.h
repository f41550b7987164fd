// admin_internal.h - what the administration operations share: a full walk of the tree and a bounded JSON writer.
#ifndef REG_ADMIN_INTERNAL_H
#define REG_ADMIN_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

// Every repository below the repositories directory, however many, as names
// joined with '/', in listing order. A directory that cannot be listed is
// noted in unlisted (paths relative to the storage root) and passed over.
void admin_find_repos(std::vector<std::string> &repos, std::vector<std::string> &unlisted);

// The storage root joined with a path relative to it.
std::string admin_at_root(const std::string &rel);

// Size of a file, 0 when it cannot be had.
int64_t admin_size_or_zero(const std::string &path);

// Appends to the engine's result buffer from its start, always terminated.
// Elements are added only while room() leaves space for the closing pieces,
// so a long report is cut between elements and stays valid JSON.
class admin_json {
public:
    static constexpr size_t kCloseReserve = 16384;
    admin_json();
    void raw(std::string_view text);
    void quoted(const std::string &text);
    void num(const char *key, long long value, bool comma = true);
    size_t room() const;
    // true when an element of at most this many bytes still fits before the reserve.
    bool fits(size_t element_bytes) const { return room() > kCloseReserve + element_bytes; }

private:
    size_t pos_ = 0;
};

// Worst-case JSON length of a text escaped by json_escape_append, with its quotes.
size_t admin_escaped_max(const std::string &text);

#endif
