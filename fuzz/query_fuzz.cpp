// query_fuzz.cpp - query strings: cgi_query with a fuzzed QUERY_STRING and parameter name. The input's first
// line is the name looked up besides the registry's own parameters, the rest is the query string.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "cgi/qf_cgi.h"
#include "fuzz/fuzz_util.h"

namespace {

constexpr size_t kValueMax = 511; // a decoded value, without its terminator
constexpr const char *kNames[] = {"n", "last", "digest", "mount", "from"};

// The environment entry is a buffer of our own (setenv would keep a copy of
// every value it was ever given, and a long run would grow without end). Two
// take turns, so the one the environment points at is never freed or changed
// before putenv has replaced it.
std::string query_entries[2];
int current_entry = 0;

void set_query_string(const std::string &query) {
    current_entry ^= 1;
    query_entries[current_entry] = "QUERY_STRING=" + query;
    putenv(query_entries[current_entry].data());
}

void check_value(const char *value) {
    if (!value) fuzz::fail("no answer");
    if (strnlen(value, kValueMax + 1) > kValueMax) fuzz::fail("value longer than its slot");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> parts = fuzz::fields(data, size, 2);
    set_query_string(parts[1]);
    check_value(cgi_query(parts[0].c_str()));
    for (const char *name : kNames)
        check_value(cgi_query(name));
    // The first of a series of lookups still holds its value when the slots have come round once.
    const char *first = cgi_query(parts[0].c_str());
    const std::string kept = first;
    for (int i = 0; i < 7; ++i)
        cgi_query(kNames[i % 5]);
    if (kept != first) fuzz::fail("a value changed before eight further lookups");
    return 0;
}
