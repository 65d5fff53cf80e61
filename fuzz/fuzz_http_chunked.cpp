// A chunked HTTP body as any bytes, decoded as a whole and again as it arrives in the
// pieces the NUL bytes cut it into (the NULs themselves dropped). Promises checked:
// the decoded body and the final state do not depend on where the reads split the
// stream, a size line or chunk end past its limit is refused rather than buffered,
// and no more body comes out than went in.
#include "fuzz_util.h"
#include "http.h"

namespace {

struct Result {
    Str body;
    int state = 0;
    bool refused = false;
};

Result decode(std::string_view stream, bool split) {
    auto http = http_construct();
    http->limits.maxChunkLine = 64;
    http->chunked = 1;
    http->chunkState = 1;
    Result r;
    while (true) {
        size_t nul = split ? stream.find('\0') : std::string_view::npos;
        http->receiveBuffer.append(stream.substr(0, nul));
        long before = static_cast<long>(http->body.size());
        long moved = http_decodeChunks(*http);
        if (moved < 0) {
            r.refused = true;
            break;
        }
        fuzz::check(static_cast<long>(http->body.size()) - before == moved, "moved is not what the body gained");
        fuzz::check(http->receiveBuffer.size() <= 64 + 2 || http->chunkState == 4, "unbounded buffering");
        if (nul == std::string_view::npos) break;
        stream.remove_prefix(nul + 1);
    }
    r.body = http->body;
    r.state = http->chunkState;
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::asText(data, size);
    const std::string joined = fuzz::withoutNuls(input);
    Result whole = decode(joined, false);
    Result pieces = decode(input, true);
    fuzz::check(whole.body.size() <= joined.size(), "more body than input");
    fuzz::check(whole.refused == pieces.refused, "refusal depends on the split");
    if (!whole.refused) {
        fuzz::check(whole.body == pieces.body, "body depends on the split");
        fuzz::check(whole.state == pieces.state, "state depends on the split");
    }
    return 0;
}
