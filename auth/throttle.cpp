// throttle.cpp - failed credential checks counted per client address in a fixed table shared by processes.
#include "auth/throttle.h"

#include <string.h>

#include <memory>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr size_t kAddrMax = 64; // with its terminating zero; longer addresses are cut
constexpr char kMagic[8] = {'R', 'G', 'T', 'H', 'R', 'O', 'T', '1'};
constexpr int32_t kFailuresMax = 1000000;

struct slot {
    char addr[kAddrMax]; // empty: a free slot
    int64_t window_start;
    int64_t last_seen;
    int64_t blocked_until;
    int32_t failures;
    int32_t reserved;
};

struct table {
    char magic[sizeof kMagic];
    slot slots[REGISTRY_THROTTLE_SLOTS];
};

registry_throttle_clock_fn s_clock = nullptr;

int64_t now_seconds() { return s_clock ? s_clock() : plat_wall_seconds(); }

bool printable_addr(const char *addr) {
    size_t len = strnlen(addr, kAddrMax);
    if (len == 0 || len == kAddrMax) return false;
    for (size_t i = 0; i < len; ++i)
        if (addr[i] <= 0x20 || addr[i] >= 0x7f) return false;
    return true;
}

// A slot no writer of ours could have left (times ahead of the clock, a count
// out of range, an address that is not text) is free again: a damaged file may
// forget counts but never blocks anyone.
bool slot_sane(const slot &s, int64_t now) {
    return printable_addr(s.addr) && s.failures >= 0 && s.failures <= kFailuresMax && s.window_start >= 0 &&
           s.window_start <= now && s.last_seen >= s.window_start && s.last_seen <= now && s.blocked_until >= 0 &&
           s.blocked_until <= now + REGISTRY_THROTTLE_BLOCK_SECONDS;
}

// The state as stored, or an empty table when the file is missing, of another
// size or kind, or cannot be read.
std::unique_ptr<table> load(int64_t now) {
    auto t = std::make_unique<table>();
    memset(t.get(), 0, sizeof *t);
    std::vector<char> buf(sizeof(table) + 2);
    size_t len = 0;
    if (plat_read_file(REGISTRY_THROTTLE_FILE, buf.data(), buf.size(), &len) != 0 || len != sizeof(table) ||
        memcmp(buf.data(), kMagic, sizeof kMagic) != 0)
        return t;
    memcpy(t.get(), buf.data(), sizeof *t);
    for (slot &s : t->slots)
        if (!slot_sane(s, now)) memset(&s, 0, sizeof s);
    return t;
}

// The key an address is counted under: null or empty stands for "-".
void key_of(const char *client_addr, char (&key)[kAddrMax]) {
    const char *addr = client_addr && *client_addr ? client_addr : "-";
    size_t len = strnlen(addr, kAddrMax - 1);
    memcpy(key, addr, len);
    key[len] = '\0';
}

slot *find(table &t, const char *key) {
    for (slot &s : t.slots)
        if (s.addr[0] && strcmp(s.addr, key) == 0) return &s;
    return nullptr;
}

// A free slot, else the one seen longest ago that is not blocked, else the
// one seen longest ago: many addresses can push a blocked one out only once
// every slot is blocked.
slot *victim(table &t, int64_t now) {
    slot *oldest = nullptr, *oldest_open = nullptr;
    for (slot &s : t.slots) {
        if (!s.addr[0]) return &s;
        if (!oldest || s.last_seen < oldest->last_seen) oldest = &s;
        if (s.blocked_until <= now && (!oldest_open || s.last_seen < oldest_open->last_seen)) oldest_open = &s;
    }
    return oldest_open ? oldest_open : oldest;
}

void count_failure(table &t, const char *key, int64_t now) {
    slot *s = find(t, key);
    if (!s) {
        s = victim(t, now);
        memset(s, 0, sizeof *s);
        memcpy(s->addr, key, strlen(key) + 1);
        s->window_start = now;
    }
    if (now - s->window_start >= REGISTRY_THROTTLE_WINDOW_SECONDS) {
        s->window_start = now;
        s->failures = 0;
    }
    if (s->failures < kFailuresMax) ++s->failures;
    s->last_seen = now;
    if (s->failures >= REGISTRY_THROTTLE_FAILURES) s->blocked_until = now + REGISTRY_THROTTLE_BLOCK_SECONDS;
}

} // namespace

extern "C" {

int registry_auth_throttled(const char *client_addr) {
    char key[kAddrMax];
    key_of(client_addr, key);
    int64_t now = now_seconds();
    // Read without the lock: the file is only ever replaced whole.
    std::unique_ptr<table> t = load(now);
    const slot *s = find(*t, key);
    return s && s->blocked_until > now ? 1 : 0;
}

void registry_auth_note_failure(const char *client_addr) {
    char key[kAddrMax];
    key_of(client_addr, key);
    int lock = plat_lock_file(REGISTRY_THROTTLE_LOCK);
    if (lock < 0) return;
    int64_t now = now_seconds();
    std::unique_ptr<table> t = load(now);
    memcpy(t->magic, kMagic, sizeof kMagic);
    count_failure(*t, key, now);
    // Not flushed to disk: after a crash the counts may start afresh, which is harmless.
    plat_write_file_atomic(REGISTRY_THROTTLE_FILE, t.get(), sizeof *t, PLAT_PRIVATE);
    plat_unlock_file(lock);
}

int registry_auth_failures(const char *client_addr) {
    char key[kAddrMax];
    key_of(client_addr, key);
    int64_t now = now_seconds();
    std::unique_ptr<table> t = load(now);
    const slot *s = find(*t, key);
    return s && now - s->window_start < REGISTRY_THROTTLE_WINDOW_SECONDS ? s->failures : 0;
}

void registry_auth_throttle_set_clock(registry_throttle_clock_fn now) { s_clock = now; }

} // extern "C"
