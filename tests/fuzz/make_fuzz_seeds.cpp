// Writes the committed seed corpus: <dir>/<target>/<seed>, one small file
// per seed, laid out the way each target takes its input apart.

#include "app/session_codec.h"
#include "session_fixture.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

using namespace quillo::fuzz;
namespace fs = std::filesystem;

namespace {

// An input as FuzzedDataProvider takes it apart: texts from the front, each
// ended by a backslash and a line feed (backslashes inside doubled), the
// remainder as it is, and single bytes from the back, the first one given
// being the first one consumed.
class Input {
  public:
    Input& text(std::string_view t) {
        for (char c : t) {
            front_ += c;
            if (c == '\\') {
                front_ += c;
            }
        }
        front_ += "\\\n";
        return *this;
    }
    Input& rest(std::string_view t) {
        front_ += t;
        return *this;
    }
    Input& byte(uint8_t b) {
        back_.insert(back_.begin(), static_cast<char>(b));
        return *this;
    }
    std::string bytes() const { return front_ + back_; }

  private:
    std::string front_;
    std::string back_;
};

class Corpus {
  public:
    Corpus(const fs::path& root, const std::string& target) : dir_(root / target) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void add(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    void add(const std::string& name, const Input& input) { add(name, input.bytes()); }

  private:
    fs::path dir_;
};

std::string cookie(const std::string& json, bool permanent, int64_t issued_at) {
    quillo::Session session;
    session.load(nlohmann::json::parse(json), permanent);
    return quillo::app::SessionCodec(kSessionSecret, kSessionLifetime).encode(session, issued_at);
}

void router(const fs::path& root) {
    enum Method : uint8_t { GET, HEAD, POST, PUT, DELETE, OPTIONS, PATCH, lower_get, fuzzed };
    Corpus c(root, "router_fuzzer");
    // The server's table: path, method text, then mode 0 and the method.
    auto server = [&](const std::string& name, const char* path, Method m, const char* text = "") {
        c.add(name, Input().text(path).text(text).byte(0).byte(m));
    };
    server("nested_path", "/api/files/src/main.cpp", GET);
    server("path_in_the_middle", "/repo/a/b/history", GET);
    server("two_variables_around_a_path", "/repo/quillo/src/app/blob/main", GET);
    server("method_not_allowed", "/api/health", POST);
    server("automatic_options", "/api/auth/login", OPTIONS);
    server("slash_rule_without_slash", "/api/git/quillo/log", HEAD);
    server("lower_case_method", "/api/files/notes.txt", lower_get);
    server("method_split_over_rules", "/api/files/notes.txt", DELETE);
    server("empty_segments", "//static//app.js/", GET);
    server("root", "/", fuzzed, "PROPFIND");
    // A table of its own: path, method text, rule texts; then mode 1, the
    // method, the number of rules less one and each rule's methods (bit 0
    // GET, 1 HEAD, 2 POST, 3 PUT, 4 DELETE, 5 OPTIONS).
    c.add("own_rules", Input()
                           .text("/users/42/")
                           .text("")
                           .text("/users/<id>/")
                           .text("/users/<path:rest>")
                           .byte(1)
                           .byte(GET)
                           .byte(1)
                           .byte(0b101)
                           .byte(0b1));
    c.add("own_rules_malformed_and_twice", Input()
                                               .text("/d/7")
                                               .text("")
                                               .text("/x/<int:n>")
                                               .text("/d/<n>")
                                               .text("/d/<n>")
                                               .byte(1)
                                               .byte(POST)
                                               .byte(2)
                                               .byte(0b1)
                                               .byte(0b1)
                                               .byte(0b100));
    c.add("own_rules_path_variables", Input()
                                          .text("/a/b/c/d/e")
                                          .text("")
                                          .text("/<a>/<path:p>/<b>")
                                          .text("/<path:all>/")
                                          .byte(1)
                                          .byte(GET)
                                          .byte(1)
                                          .byte(0b1)
                                          .byte(0b1));
}

void session_cookie(const fs::path& root) {
    Corpus c(root, "session_cookie_fuzzer");
    std::string login = cookie(R"({"auth":true})", true, kSessionNow);
    // Mode 0: a Cookie header as a browser sends it.
    c.add("login", Input().rest("session=" + login).byte(0));
    c.add("among_others_quoted",
          Input().rest("theme=dark; session=\"" + login + "\" ;lang=zh").byte(0));
    c.add("expired", Input()
                         .rest("session=" +
                               cookie(R"({"auth":true})", true, kSessionNow - kSessionLifetime - 1))
                         .byte(0));
    c.add("from_the_future",
          Input().rest("session=" + cookie(R"({"n":1})", false, kSessionNow + 2 * 86400)).byte(0));
    std::string tampered = login;
    tampered[2] = tampered[2] == 'A' ? 'B' : 'A';
    c.add("tampered", Input().rest("session=" + tampered).byte(0));
    c.add("not_signed", Input().rest("session=eyJhdXRoIjp0cnVlfQ.1767225600").byte(0));
    // Mode 1: signed parts, signed by the target.
    auto signed_part = [](std::string_view json, std::string_view issued_at) {
        return quillo::app::base64url_encode(json) + "." + std::string(issued_at);
    };
    std::string now = std::to_string(kSessionNow);
    c.add("signed_permanent",
          Input().rest(signed_part(R"({"auth":true,"_permanent":true})", now)).byte(1));
    c.add("signed_array", Input().rest(signed_part("[1,2]", now)).byte(1));
    c.add("signed_not_json", Input().rest(signed_part("{\"a\":", now)).byte(1));
    c.add("signed_odd_time", Input().rest(signed_part("{}", "+01767225600")).byte(1));
    c.add("signed_earliest_time",
          Input().rest(signed_part(R"({"a":1})", "-9223372036854775808")).byte(1));
    c.add("signed_latest_time",
          Input().rest(signed_part(R"({"a":1})", "9223372036854775807")).byte(1));
    // Mode 2: a session to round-trip. From the back: permanent, four bytes
    // of clock, the number of keys, then per key its value's kind and value;
    // the key texts and string values from the front.
    c.add("round_trip_login", Input()
                                  .text("auth")
                                  .byte(2)
                                  .byte(1)
                                  .byte(0x69)
                                  .byte(0x55)
                                  .byte(0xB9)
                                  .byte(0x00)
                                  .byte(1)
                                  .byte(1)
                                  .byte(1));
    c.add("round_trip_nested", Input()
                                   .text("files")
                                   .text("é/中文 \"quoted\"")
                                   .byte(2)
                                   .byte(0)
                                   .byte(1)
                                   .byte(2)
                                   .byte(3)
                                   .byte(4)
                                   .byte(1)
                                   .byte(6)
                                   .byte(2)
                                   .byte(5)
                                   .byte(0));
}

void proxy_fallback(const fs::path& root) {
    enum Method : uint8_t { GET, POST, PUT, HEAD, DELETE };
    Corpus c(root, "proxy_fallback_fuzzer");
    const std::string proxied = "http://127.0.0.1:12345/api/browser/proxy?url=";
    // Mode 0: Referer, X-Proxy-Page-Origin, path, query string; then the
    // method and whether each header is sent.
    auto escaped = [&](const std::string& name, const std::string& referer,
                       const std::string& origin, const char* path, const char* query, Method m,
                       bool with_referer, bool with_origin) {
        c.add(name, Input()
                        .text(referer)
                        .text(origin)
                        .text(path)
                        .text(query)
                        .byte(0)
                        .byte(m)
                        .byte(with_referer)
                        .byte(with_origin));
    };
    escaped("referer", proxied + "https%3A%2F%2Fexample.com%2Fdocs%2Findex.html", "",
            "static/app.js", "v=1", GET, true, false);
    escaped("page_origin", "", "https://example.org", "api/data", "", POST, false, true);
    escaped("referer_ipv6", proxied + "http%3A%2F%2F%5B%3A%3A1%5D%3A8080%2Fa%2Fb", "", "x.css", "",
            PUT, true, false);
    escaped("referer_bad_brackets", proxied + "http%3A%2F%2F%5Bnot-an-ip%5D%2F", "", "x", "", GET,
            true, false);
    escaped("undecodable_query", "", "https://example.org", "search", "q=\xff", GET, false, true);
    escaped("empty_url_then_one", "http://h/api/browser/proxy?foo=1&url=&url=http%3A%2F%2Fa.b%2F",
            "", "img/\xe4\xb8\xad.png", "", HEAD, true, false);
    escaped("ordinary_request", "http://127.0.0.1:12345/", "", "api/health", "", GET, true, false);
    // Mode 1: one URL to split.
    for (auto [name, url] : {std::pair{"split_full", "HTTP://User@Example.com:80/p/a?q=1#frag"},
                             {"split_blanks", " \t\nhttps://[::1]:8443/x\ty"},
                             {"split_no_scheme", "//host/path?x#y"},
                             {"split_mailto", "mailto:a@b"},
                             {"split_ipvfuture", "http://[v1.fe]/"},
                             {"split_ipv4_in_brackets", "http://[1.2.3.4]/"},
                             {"split_zone", "http://[fe80::1%25eth0]:80/"},
                             {"split_unbalanced", "http://a]b/"},
                             {"split_digit_first", "1http://x"}}) {
        c.add(name, Input().text(url).byte(1));
    }
    // Mode 2: quoting, percent-decoding and the url parameter.
    for (auto [name, text] : {std::pair{"codec_mixed", "a b/c?d=\xc3\xa9&url=x%41%zz%"},
                              {"codec_escaped_utf8", "%E4%B8%AD%FF+%e2%82"},
                              {"codec_url_parameters", "?url=&url=abc&xurl=d"}}) {
        c.add(name, Input().text(text).byte(2));
    }
}

void json_body(const fs::path& root) {
    enum Type : uint8_t { json, json_utf8, json_spaced, plus_json, text_plain, form, fuzzed };
    Corpus c(root, "json_body_fuzzer");
    // The picked type, whether the header is sent, the fuzzed type, the body.
    auto body = [&](const std::string& name, Type t, bool sent, const char* type,
                    const std::string& text) {
        c.add(name, Input().text(type).rest(text).byte(t).byte(sent));
    };
    body("login", json, true, "", R"({"password":"secret"})");
    body("login_charset", json_utf8, true, "", "{\"password\": \"  pw \\u00a0\"}");
    body("array", plus_json, true, "", "[1,2]");
    body("false", json, true, "", "false");
    body("zero", json_spaced, true, "", "0.0");
    body("empty_text", json, true, "", "\"\"");
    body("text", json, true, "", "\"text\"");
    body("broken", json, true, "", "{\"password\":");
    body("plain_text", text_plain, true, "", R"({"password":"secret"})");
    body("form", form, true, "", "password=secret");
    body("problem_json", fuzzed, true, "application/problem+json; q=1", R"({"a":[null]})");
    body("no_type", json, false, "", R"({"password":"x"})");
    // Nesting: the deepest accepted, one level more, and far more.
    auto nested = [](int depth) {
        return R"({"password":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    };
    body("depth_64", json, true, "", nested(64));
    body("depth_65", json, true, "", nested(65));
    body("depth_200000", json, true, "", nested(200000));
    body("deep_unclosed", json, true, "", std::string(100000, '['));
}

void pid_file(const fs::path& root) {
    Corpus c(root, "pid_file_fuzzer");
    for (auto [name, text] : {std::pair{"plain", "123"},
                              {"line_feed", "123\n"},
                              {"zero", "0"},
                              {"negative", "-5"},
                              {"leading_blank", " 42"},
                              {"plus", "+17"},
                              {"unicode_blanks", "\xc2\xa0"
                                                 "12\xe3\x80\x80"},
                              {"too_big", "99999999999999999999"},
                              {"pid_max", "2147483647"},
                              {"hex", "0x10"},
                              {"two_numbers", "1 2"},
                              {"not_utf8", "\xff\xfe"}}) {
        c.add(name, text);
    }
}

void tee_stream(const fs::path& root) {
    Corpus c(root, "tee_stream_fuzzer");
    // The text, then one byte: a bit per target (ASCII, ISO-8859-1, GBK,
    // UTF-8, the locale's, unnamed ASCII-only, unknown, broken), or 0xFF.
    auto write = [&](const std::string& name, std::string_view text, uint8_t targets) {
        c.add(name, Input().rest(text).byte(targets));
    };
    write("ascii", "hello\n", 0x7F);
    write("gbk_and_emoji", "\xe5\x90\xaf\xe5\x8a\xa8 \xf0\x9f\x9a\x80 ok\n", 0x0F);
    write("latin1", "caf\xc3\xa9 \xe4\xb8\xad\n", 0x33);
    write("not_utf8", "\xff\xfe bad \xe2\x82\n", 0x7F);
    write("line_ends", "\r\n\n\n", 0x01);
    write("broken_and_unnamed", "x\xc3\xa9", 0xA0);
    write("refused_everywhere",
          "Gr\xc3\xbc\xc3\x9f"
          "e\n",
          0xFF);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <corpus directory>\n";
        return 2;
    }
    fs::path root = argv[1];
    router(root);
    session_cookie(root);
    proxy_fallback(root);
    json_body(root);
    pid_file(root);
    tee_stream(root);
    return 0;
}
