// progress_fuzz.cpp - the garbage-collection progress read-back over a fuzzed _gc/progress.json:
// whatever the file holds, the answer is one valid JSON object with every member of the record.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz/fuzz_util.h"
#include "platform/json_doc.h"
#include "storage/reg_storage.h"

namespace {

constexpr size_t kAnswerMax = 511; // the rendered snapshot, without its terminator
constexpr size_t kPhaseMax = 15;   // bytes of the phase text

std::string root;

void check_answer(const char *answer) {
    const size_t len = strlen(answer);
    if (len > kAnswerMax) fuzz::fail("answer longer than the snapshot limit", answer);
    json_doc_ptr doc(json_read(answer, len));
    json_val *obj = json_doc_root(doc.get());
    if (!json_is_obj(obj)) fuzz::fail("answer is not a JSON object", answer);
    for (const char *key : {"running", "dry_run", "cancelled"})
        if (!json_is_bool(json_obj_get(obj, key))) fuzz::fail("member is not a boolean", key);
    for (const char *key :
         {"blobs_scanned", "blobs_total", "blobs_deleted", "bytes_freed", "started_unix", "elapsed_ms"})
        if (!json_is_sint(json_obj_get(obj, key))) fuzz::fail("member is not a signed integer", key);
    json_val *phase = json_obj_get(obj, "phase");
    if (!json_is_str(phase) || json_get_len(phase) > kPhaseMax) fuzz::fail("phase missing or too long", answer);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    root = fuzz::scratch_dir() + "/root";
    if (reg_storage_init(root.c_str()) != 0) fuzz::fail("cannot start the engine", reg_storage_last_error());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::write_file(root + "/_gc/progress.json", fuzz::text(data, size));
    check_answer(reg_gc_progress_json());
    return 0;
}
