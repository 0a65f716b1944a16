// The in-app browser's pure parts: what a user may type as an address, which
// ports a device lists, and how the preview proxy changes headers so that a
// previewed site never gets the IDE's cookies and the IDE alone can frame it.
#include "ports.h"
#include "proxy_headers.h"
#include "target.h"

#include <gtest/gtest.h>

namespace {

using namespace quillo::browser;

TEST(BrowserTargetTest, ReadsWhatUsersTypeAndRefusesOtherSchemes) {
    struct Case {
        const char* typed;
        const char* url; // nullptr: refused
        const char* connect_host;
        int port;
    };
    for (const Case& c : std::vector<Case>{
             {"localhost:8000", "http://localhost:8000/", "localhost", 8000},
             {" 127.0.0.1:5173/app?x=1#top ", "http://127.0.0.1:5173/app?x=1", "127.0.0.1", 5173},
             {"HTTPS://Example.COM", "https://example.com/", "example.com", 443},
             {"http://[::1]:8080/a", "http://[::1]:8080/a", "::1", 8080},
             {"//site.test/x", "http://site.test/x", "site.test", 80},
             {"file:///etc/passwd", nullptr, "", 0},
             {"javascript:alert(1)", nullptr, "", 0},
             {"ftp://host/", nullptr, "", 0},
             {"http://", nullptr, "", 0},
             {"http://host:0/", nullptr, "", 0},
             {"http://host:70000/", nullptr, "", 0},
         }) {
        SCOPED_TRACE(c.typed);
        if (!c.url) {
            EXPECT_THROW(parse_target(c.typed), TargetError);
            continue;
        }
        Target target = parse_target(c.typed);
        EXPECT_EQ(target.url(), c.url);
        EXPECT_EQ(target.connect_host, c.connect_host);
        EXPECT_EQ(target.port, c.port);
    }
    EXPECT_EQ(resolve_target("../api?q=1", "http://site.test:81/docs/page/").url(),
              "http://site.test:81/docs/api?q=1");
    EXPECT_THROW(resolve_target("mailto:x@y", "http://site.test/"), TargetError);
}

TEST(BrowserPortsTest, ListsTheUsersPortsReachableOnThisDevice) {
    // Columns as the kernel writes them; uid is the 8th field.
    std::string tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:1F40 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 1\n"
        "   1: 00000000:0BB8 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 2\n"
        "   2: 0100007F:1F41 0100007F:9C40 01 00000000:00000000 00:00000000 00000000  1000 0 3\n"
        "   3: 0100007F:1F42 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0 0 4\n"
        "   4: 0501A8C0:1F43 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 5\n";
    std::string tcp6 =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000001000000:1435 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000  1000 0 6\n"
        "   1: 0000000000000000FFFF00000100007F:22B8 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000  1000 0 7\n"
        "   2: 20010DB8000000000000000000000001:2328 00000000000000000000000000000000:0000 0A "
        "00000000:00000000 00:00000000 00000000  1000 0 8\n";
    // Listening on loopback or any address, owned by the user: not an
    // established connection, not root's port, not one bound to a LAN address.
    EXPECT_EQ(listening_ports_in(tcp, 1000), (std::vector<int>{8000, 3000}));
    EXPECT_EQ(listening_ports_in(tcp6, 1000), (std::vector<int>{5173, 8888}));

    PortSources readable{[&](const std::string& path) -> std::optional<std::string> {
                             return path.ends_with("6") ? tcp6 : tcp;
                         },
                         [](int) { return true; }, 1000};
    PortList listed = listening_ports(readable);
    EXPECT_EQ(listed.source, "proc");
    EXPECT_EQ(listed.ports, (std::vector<int>{3000, 5173, 8000, 8888}));

    // Where /proc/net cannot be read (Android 10 and later), the common dev
    // ports that answer on loopback.
    PortSources unreadable{[](const std::string&) { return std::nullopt; },
                           [](int port) { return port == 5173 || port == 8000 || port == 1234; },
                           1000};
    PortList probed = listening_ports(unreadable);
    EXPECT_EQ(probed.source, "probe");
    EXPECT_EQ(probed.ports, (std::vector<int>{5173, 8000}));
}

PreviewContext context() {
    return {"http://localhost:8000",
            "localhost:8000",
            "http://127.0.0.1:40000",
            {"http://127.0.0.1:12345"}};
}

TEST(BrowserProxyHeadersTest, TheSiteGetsItsOwnOriginAndNeverTheIdesCookies) {
    http::fields fields;
    fields.set(http::field::host, "127.0.0.1:40000");
    fields.set(http::field::origin, "http://127.0.0.1:40000");
    fields.set(http::field::referer, "http://127.0.0.1:40000/page?x=1");
    fields.insert(http::field::cookie, "quillo_session_12345=signed; theme=dark");
    fields.insert(http::field::cookie, "quillo_preview_40000=pass; session=app");
    fields.set(http::field::connection, "keep-alive, X-Secret");
    fields.set("X-Secret", "hop");
    fields.set(http::field::transfer_encoding, "chunked");
    fields.set("Accept-Encoding", "gzip");
    CookieJar jar;
    jar.take("quillo_token=kept; Path=/; HttpOnly");

    drop_hop_by_hop(fields, false);
    rewrite_request(fields, context(), jar);
    EXPECT_EQ(fields[http::field::host], "localhost:8000");
    EXPECT_EQ(fields[http::field::origin], "http://localhost:8000");
    EXPECT_EQ(fields[http::field::referer], "http://localhost:8000/page?x=1");
    EXPECT_EQ(fields[http::field::cookie], "theme=dark; session=app; quillo_token=kept");
    EXPECT_EQ(fields.count(http::field::cookie), 1u);
    EXPECT_EQ(fields.count("X-Secret"), 0u);
    EXPECT_EQ(fields.count(http::field::connection), 0u);
    EXPECT_EQ(fields.count(http::field::transfer_encoding), 0u);
    EXPECT_EQ(fields["Accept-Encoding"], "gzip");

    // An Origin of another page passes unchanged: the site may refuse it.
    http::fields foreign;
    foreign.set(http::field::origin, "http://127.0.0.1:400001");
    rewrite_request(foreign, context(), jar);
    EXPECT_EQ(foreign[http::field::origin], "http://127.0.0.1:400001");

    jar.take("quillo_token=; Max-Age=0");
    EXPECT_EQ(jar.header(), "");
}

TEST(BrowserProxyHeadersTest, OnlyTheIdeMayFrameTheAnswerAndItsCookiesStayApart) {
    http::fields fields;
    fields.set("X-Frame-Options", "DENY");
    fields.insert("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
    fields.insert("Content-Security-Policy", "frame-ancestors https://site.test");
    fields.set("Strict-Transport-Security", "max-age=31536000");
    fields.insert(http::field::set_cookie,
                  "sid=1; Domain=localhost; Path=/; Secure; SameSite=None");
    fields.insert(http::field::set_cookie, "quillo_session_12345=forged; Path=/");
    fields.set(http::field::location, "http://localhost:8000/next?a=1");
    CookieJar jar;

    EXPECT_EQ(rewrite_response(fields, context(), jar), std::nullopt);
    EXPECT_EQ(fields.count("X-Frame-Options"), 0u);
    EXPECT_EQ(fields.count("Strict-Transport-Security"), 0u);
    std::vector<std::string> policies;
    for (auto range = fields.equal_range("Content-Security-Policy"); range.first != range.second;
         ++range.first) {
        policies.emplace_back(range.first->value());
    }
    EXPECT_EQ(policies, (std::vector<std::string>{"default-src 'self'",
                                                  "frame-ancestors http://127.0.0.1:12345"}));
    // A reserved name would overwrite the IDE's own cookie in the browser:
    // the server keeps it for the site instead.
    EXPECT_EQ(fields.count(http::field::set_cookie), 1u);
    EXPECT_EQ(fields[http::field::set_cookie], "sid=1; Path=/; SameSite=Lax");
    EXPECT_EQ(jar.header(), "quillo_session_12345=forged");
    EXPECT_EQ(fields[http::field::location], "/next?a=1");

    for (const char* elsewhere : {"https://other.test/x", "/local", "relative"}) {
        http::fields kept;
        kept.set(http::field::location, elsewhere);
        EXPECT_EQ(rewrite_response(kept, context(), jar), std::nullopt);
        EXPECT_EQ(kept[http::field::location], elsewhere);
    }
    http::fields escaping;
    escaping.set(http::field::location, "file:///etc/passwd");
    EXPECT_NE(rewrite_response(escaping, context(), jar), std::nullopt);
}

} // namespace
