// Session cookies: what a browser sends is decoded and verified with a
// fixed key; what the server stores must come back unchanged.
//
// The last input byte picks the mode:
//   0  the rest is a Cookie header; its session value and the whole text
//      are decoded as they arrive (almost always refused: no signature);
//   1  the rest is the signed part (payload "." issue time), signed here
//      with the codec's key, so the checks behind the signature are reached;
//   2  the rest builds a session that is encoded and decoded again.

#include "app/session_codec.h"
#include "session_fixture.h"
#include "utils/text.h"

#include <cmath>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <iostream>
#include <openssl/evp.h>
#include <openssl/hmac.h>

using nlohmann::json;
using quillo::Session;
using quillo::app::SessionCodec;
using namespace quillo::fuzz;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::cerr << "session cookie: " << what << "\n";
    std::abort();
}

const SessionCodec& codec() {
    static const SessionCodec instance(kSessionSecret, kSessionLifetime);
    return instance;
}

std::string hmac(std::string_view key, std::string_view message) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), out, &length);
    return std::string(reinterpret_cast<char*>(out), length);
}

// A forger who holds the key: the codec keeps its signing private, so the
// key derivation is repeated here, and checked against a cookie of the
// codec's own once, lest mode 1 silently stop getting past the signature.
std::string sign_like_the_codec(std::string_view signed_part) {
    static const std::string key = hmac(kSessionSecret, "quillo.session-cookie");
    return std::string(signed_part) + "." + quillo::app::base64url_encode(hmac(key, signed_part));
}

void check_signing_matches_the_codec() {
    static const bool checked = [] {
        Session session;
        session.set("auth", true);
        std::string cookie = codec().encode(session, kSessionNow);
        if (sign_like_the_codec(cookie.substr(0, cookie.rfind('.'))) != cookie) {
            fail("the codec signs differently from this target's copy of its key derivation");
        }
        return true;
    }();
    (void)checked;
}

void check_decoded(const std::optional<SessionCodec::Decoded>& decoded) {
    if (!decoded) {
        return;
    }
    if (!decoded->data.is_object() || decoded->data.contains("_permanent")) {
        fail("decoded session is not an object, or kept the permanence key: " +
             decoded->data.dump(-1, ' ', false, json::error_handler_t::replace));
    }
    if (decoded->issued_at < kSessionNow - kSessionLifetime ||
        decoded->issued_at > kSessionNow + 24 * 3600) {
        fail("accepted a cookie issued at " + std::to_string(decoded->issued_at));
    }
}

std::string utf8_text(FuzzedDataProvider& in, size_t max_length) {
    return quillo::utils::decode_utf8_replacing(in.ConsumeRandomLengthString(max_length));
}

// Any JSON value that survives a dump and a parse unchanged: finite numbers
// and valid UTF-8 text.
json value(FuzzedDataProvider& in, int depth) {
    switch (in.ConsumeIntegralInRange(0, depth > 0 ? 7 : 5)) {
    case 0:
        return nullptr;
    case 1:
        return in.ConsumeBool();
    case 2:
        return in.ConsumeIntegral<int64_t>();
    case 3:
        return in.ConsumeIntegral<uint64_t>();
    case 4: {
        double d = in.ConsumeFloatingPoint<double>();
        return std::isfinite(d) ? json(d) : json(0.5);
    }
    case 5:
        return utf8_text(in, 64);
    case 6: {
        json array = json::array();
        for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
            array.push_back(value(in, depth - 1));
        }
        return array;
    }
    default: {
        json object = json::object();
        for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
            object[utf8_text(in, 16)] = value(in, depth - 1);
        }
        return object;
    }
    }
}

void round_trip(FuzzedDataProvider& in) {
    Session session;
    session.set_permanent(in.ConsumeBool());
    // A realistic clock: the codec's arithmetic on the issue time assumes one.
    int64_t now = in.ConsumeIntegralInRange<int64_t>(0, 4102444800);
    for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n) {
        std::string key = utf8_text(in, 24);
        if (key != "_permanent") { // reserved for the permanence flag
            session.set(key, value(in, 3));
        }
    }

    std::string cookie = codec().encode(session, now);
    std::optional<SessionCodec::Decoded> decoded = codec().decode(cookie, now);
    if (!decoded || decoded->data != session.data() || decoded->permanent != session.permanent() ||
        decoded->issued_at != now) {
        fail("round trip changed the session " + session.data().dump() + " (cookie " + cookie +
             ")");
    }

    std::string header = codec().set_cookie(session, now);
    if (header.find_first_of("\r\n") != std::string::npos) {
        fail("line break in Set-Cookie: " + header);
    }
    if (session.empty()) {
        return;
    }
    std::optional<std::string_view> value = quillo::app::find_cookie(header, codec().cookie_name());
    if (!value || *value != cookie) {
        fail("Set-Cookie does not carry the cookie: " + header);
    }
    if (session.permanent()) {
        size_t at = header.find("Expires=");
        if (at == std::string::npos) {
            fail("permanent cookie without Expires: " + header);
        }
        at += 8;
        std::string date = header.substr(at, header.find(';', at) - at);
        if (quillo::app::parse_http_date(date) != now + kSessionLifetime) {
            fail("Expires does not read back: " + header);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_signing_matches_the_codec();
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {
        std::string header = in.ConsumeRemainingBytesAsString();
        if (std::optional<std::string_view> value = quillo::app::find_cookie(header, "session")) {
            check_decoded(codec().decode(*value, kSessionNow));
        }
        check_decoded(codec().decode(header, kSessionNow));
        if (std::optional<std::string> bytes = quillo::app::base64url_decode(header)) {
            if (quillo::app::base64url_decode(quillo::app::base64url_encode(*bytes)) != bytes) {
                fail("base64url does not read back its own text");
            }
        }
        break;
    }
    case 1:
        check_decoded(
            codec().decode(sign_like_the_codec(in.ConsumeRemainingBytesAsString()), kSessionNow));
        break;
    default:
        round_trip(in);
        break;
    }
    return 0;
}
