// fuzz_util.h - what the fuzz programs share: a scratch directory, whole-file writes, input fields,
// a tree fingerprint for canaries, and how a broken property is reported.
#ifndef REGISTRY_FUZZ_UTIL_H
#define REGISTRY_FUZZ_UTIL_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace fuzz {

// A fresh directory below $TMPDIR (or /tmp) for this process, removed at exit.
const std::string &scratch_dir();

void write_file(const std::string &path, const std::string &data); // creates parents; aborts on failure
void remove_tree(const std::string &path);

// The input as text, and split at its first count - 1 line feeds into count
// fields (missing fields are empty, the last takes the rest).
std::string text(const uint8_t *data, size_t size);
std::vector<std::string> fields(const uint8_t *data, size_t size, size_t count);

// Every entry below dir with its kind, size, contents and modification time,
// leaving out the entry skip (an absolute path) and what lies below it.
std::map<std::string, std::string> fingerprint(const std::string &dir, const std::string &skip = "");

// A property that must hold did not: says which and stops the process, so libFuzzer keeps the input.
[[noreturn]] void fail(const char *what, const std::string &detail = "");

// Stores a blob through the engine (the engine must be started); its digest.
std::string store_blob(const std::string &content);
// "sha256:" and the 64 lowercase hex digits of data.
std::string digest_of(const std::string &data);

} // namespace fuzz

#endif
