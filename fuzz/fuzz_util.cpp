// fuzz_util.cpp - what the fuzz programs share.
#include "fuzz/fuzz_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "digest/sha256.h"
#include "storage/reg_storage.h"

namespace fuzz {

namespace fs = std::filesystem;

namespace {

std::string make_scratch() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/registry-fuzz.XXXXXX";
    if (!mkdtemp(pattern.data())) fail("cannot make a scratch directory", pattern);
    return pattern;
}

std::string scratch_path;

void remove_scratch() {
    std::error_code ec;
    if (!scratch_path.empty()) fs::remove_all(scratch_path, ec);
}

} // namespace

const std::string &scratch_dir() {
    if (scratch_path.empty()) {
        scratch_path = make_scratch();
        atexit(remove_scratch);
    }
    return scratch_path;
}

void write_file(const std::string &path, const std::string &data) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) fail("cannot write", path);
}

void remove_tree(const std::string &path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string text(const uint8_t *data, size_t size) { return std::string(reinterpret_cast<const char *>(data), size); }

std::vector<std::string> fields(const uint8_t *data, size_t size, size_t count) {
    std::vector<std::string> out;
    std::string rest = text(data, size);
    while (out.size() + 1 < count) {
        size_t nl = rest.find('\n');
        if (nl == std::string::npos) break;
        out.push_back(rest.substr(0, nl));
        rest.erase(0, nl + 1);
    }
    out.push_back(rest);
    out.resize(count);
    return out;
}

std::map<std::string, std::string> fingerprint(const std::string &dir, const std::string &skip) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string path = it->path().string();
        if (!skip.empty() && path == skip) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            out[path] = "<gone>";
            continue;
        }
        std::string entry = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode)) {
            std::ifstream in(path, std::ios::binary);
            entry += " " + std::string(std::istreambuf_iterator<char>(in), {});
        }
        out[path] = entry;
    }
    if (ec) out["<error>"] = ec.message();
    return out;
}

void fail(const char *what, const std::string &detail) {
    fprintf(stderr, "fuzz property broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    abort();
}

std::string digest_of(const std::string &data) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    uint8_t hash[32];
    sha256_final(&ctx, hash);
    static const char hex[] = "0123456789abcdef";
    std::string out = "sha256:";
    for (uint8_t b : hash) {
        out += hex[b >> 4];
        out += hex[b & 0x0F];
    }
    return out;
}

std::string store_blob(const std::string &content) {
    char id[37];
    char digest[72];
    const std::string expected = digest_of(content);
    if (reg_blob_start_upload(id) != 0 || reg_blob_append_chunk(id, content.data(), content.size()) != 0 ||
        reg_blob_finish_upload(id, expected.c_str(), digest) != 0)
        fail("cannot store a blob", reg_storage_last_error());
    return expected;
}

} // namespace fuzz
