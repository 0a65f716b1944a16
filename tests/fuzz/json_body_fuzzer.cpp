// The set-up and login bodies: anything a client sends must end as a JSON
// object, or as the one documented refusal, std::invalid_argument, and
// nesting of any depth must neither crash nor take long.
//
// Input: the Content-Type (used when the picked one is the fuzzed one),
// ended by a backslash and one other byte, then the body; the last bytes
// pick the Content-Type and whether the header is there at all.

#include "app/auth.h"

#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <iostream>
#include <stdexcept>

using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& what, std::string_view body) {
    std::cerr << "lenient JSON body: " << what << " (body \"" << body << "\")\n";
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const char* const kTypes[] = {"application/json",
                                         "application/json; charset=utf-8",
                                         " Application/JSON ",
                                         "application/vnd.api+json",
                                         "text/plain",
                                         "application/x-www-form-urlencoded",
                                         nullptr};
    const char* type = in.PickValueInArray(kTypes);
    bool has_type = in.ConsumeBool();
    std::string fuzzed_type = in.ConsumeRandomLengthString(64);

    quillo::Request request;
    request.method = "POST";
    if (has_type) {
        request.headers.add("Content-Type", type ? type : fuzzed_type);
    }
    request.body = in.ConsumeRemainingBytesAsString();

    // The reference: JSON nested deeper than the limit counts as invalid.
    json parsed = quillo::app::parse_json_bounded(request.body);
    json body;
    try {
        body = quillo::app::lenient_json_body(request);
    } catch (const std::invalid_argument&) {
        // Refused: only a body that is valid JSON, not an object and not
        // empty-ish may be.
        if (parsed.is_discarded() || parsed.is_object()) {
            fail("refused a body that is no JSON or an object", request.body);
        }
        return 0;
    }
    if (!body.is_object()) {
        fail("gave a " + std::string(body.type_name()), request.body);
    }
    if (!body.empty() && body != parsed) {
        fail("the object is not the one sent", request.body);
    }
    return 0;
}
