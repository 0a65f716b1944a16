#include "app/frontend.h"
#include "app/send_file.h"
#include "temp_dir.h"

#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillo;
using quillo::testing::TempDir;

namespace {

Request get(const std::string& path) {
    Request request;
    request.method = "GET";
    request.path = path;
    return request;
}

class StaticFilesTest : public ::testing::Test {
  protected:
    StaticFilesTest() {
        dir.write("static/app.js", "console.log(1);");
        dir.write("static/css/site.css", "body{}");
        dir.write("static/empty.txt", "");
        dir.write("secret.txt", "outside");
        info = {dir.file("static"), "9.9.9", "/opt/quillo"};
    }
    Response serve(const std::string& path, const std::string& method = "GET") {
        Request request = get("/" + path);
        request.method = method;
        return app::static_files(info, request, path);
    }

    TempDir dir;
    app::FrontendInfo info;
};

TEST_F(StaticFilesTest, KeptFilesAreServedAfreshOnceTheyChange) {
    auto age = [&](const std::string& name, time_t seconds_ago) {
        timespec times[2] = {{std::time(nullptr) - seconds_ago, 0},
                             {std::time(nullptr) - seconds_ago, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir.path() + "/static/" + name).c_str(), times, 0), 0);
    };
    dir.write("static/kept.js", "old");
    age("kept.js", 3600);
    EXPECT_EQ(serve("kept.js").content(), "old");
    // The same size and time, but another file: replaced by a rename.
    dir.write("static/new.js", "new");
    age("new.js", 3600);
    std::filesystem::rename(dir.path() + "/static/new.js", dir.path() + "/static/kept.js");
    EXPECT_EQ(serve("kept.js").content(), "new");
    dir.write("static/kept.js", "newer");
    age("kept.js", 3600);
    EXPECT_EQ(serve("kept.js").content(), "newer");
    // Two writes of the same size within one clock tick keep the time stamp.
    for (const char* text : {"aaa", "bbb", "ccc"}) {
        dir.write("static/busy.js", text);
        EXPECT_EQ(serve("busy.js").content(), text);
    }
}

TEST_F(StaticFilesTest, AssetsAreServedWithTheirTypeAndNoCaching) {
    Response js = serve("app.js");
    EXPECT_EQ(js.status, 200);
    EXPECT_EQ(js.content(), "console.log(1);");
    EXPECT_EQ(js.headers.get("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(js.headers.get("Cache-Control"), "no-cache, no-store, must-revalidate");
    EXPECT_EQ(serve("css/site.css").headers.get("Content-Type"), "text/css; charset=utf-8");
    Response empty = serve("empty.txt");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.content(), "");
}

TEST_F(StaticFilesTest, PathsThatLeaveTheFolderOrNameNoFileAreNotFound) {
    for (const char* path :
         {"../secret.txt", "css/../../secret.txt", "css", "nope.js", "css/", "a\\..\\secret.txt"}) {
        Response response = serve(path);
        EXPECT_EQ(response.status, 404) << path;
        EXPECT_EQ(response.body, "{\"error\":\"File not found\"}\n") << path;
    }
}

TEST_F(StaticFilesTest, ApiPathsAndOtherMethodsGetJsonAnswers) {
    EXPECT_EQ(serve("api/nothing").body, "{\"error\":\"Not found\"}\n");
    EXPECT_EQ(serve("preview/x").status, 404);
    Response head = serve("app.js", "HEAD");
    EXPECT_EQ(head.status, 405);
    EXPECT_EQ(head.body, "{\"error\":\"Method not allowed\"}\n");
}

TEST_F(StaticFilesTest, ConditionalRequestsGetNotModified) {
    Response first = app::send_from_directory(info.static_folder, "app.js", get("/app.js"));
    std::string etag = first.headers.get("ETag");
    ASSERT_FALSE(etag.empty());

    Request again = get("/app.js");
    again.headers.add("If-None-Match", "\"other\", " + etag);
    Response cached = app::send_from_directory(info.static_folder, "app.js", again);
    EXPECT_EQ(cached.status, 304);
    EXPECT_TRUE(cached.content().empty());

    Request by_date = get("/app.js");
    by_date.headers.add("If-Modified-Since", first.headers.get("Last-Modified"));
    EXPECT_EQ(app::send_from_directory(info.static_folder, "app.js", by_date).status, 304);

    Request stale = get("/app.js");
    stale.headers.add("If-None-Match", "\"other\"");
    stale.headers.add("If-Modified-Since", first.headers.get("Last-Modified"));
    EXPECT_EQ(app::send_from_directory(info.static_folder, "app.js", stale).status, 200)
        << "If-None-Match decides when both are present";
}

// Ranges for media previews and resumed downloads, from the cache (small
// files) and from the file itself (large ones) alike.
TEST_F(StaticFilesTest, OneByteRangeIsServedAndOthersGetTheWholeFileOr416) {
    std::string big(3 * 1024 * 1024, 'b');
    big.replace(2 * 1024 * 1024, 5, "range");
    dir.write("static/video.mp4", big);
    auto ask = [&](const std::string& name, const std::string& range,
                   const std::string& if_range = "") {
        Request request = get("/" + name);
        request.headers.add("Range", range);
        if (!if_range.empty()) {
            request.headers.add("If-Range", if_range);
        }
        return app::send_from_directory(info.static_folder, name, request);
    };
    auto bytes_of = [](const Response& response) {
        if (!response.file_body) {
            return std::string(response.content());
        }
        std::string out(response.file_body->length(), '\0');
        EXPECT_EQ(::pread(response.file_body->fd(), out.data(), out.size(),
                          static_cast<off_t>(response.file_body->offset())),
                  static_cast<ssize_t>(out.size()));
        return out;
    };
    Response part = ask("app.js", "bytes=8-10");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.headers.get("Content-Range"), "bytes 8-10/15");
    EXPECT_EQ(bytes_of(part), "log");
    EXPECT_EQ(bytes_of(ask("app.js", "bytes=-3")), "1);");
    EXPECT_EQ(bytes_of(ask("app.js", "bytes=12-99")), "1);");

    Response large = ask("video.mp4", "bytes=2097152-2097156");
    EXPECT_EQ(large.status, 206);
    ASSERT_TRUE(large.file_body) << "a large file is read while it is sent";
    EXPECT_EQ(bytes_of(large), "range");

    Response beyond = ask("app.js", "bytes=15-");
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(beyond.headers.get("Content-Range"), "bytes */15");
    EXPECT_EQ(ask("empty.txt", "bytes=0-").status, 416);

    std::string etag = part.headers.get("ETag");
    EXPECT_EQ(ask("app.js", "bytes=8-10", etag).status, 206);
    EXPECT_EQ(ask("app.js", "bytes=8-10", "\"changed\"").status, 200) << "If-Range: another file";
    EXPECT_EQ(ask("app.js", "bytes=8-10", part.headers.get("Last-Modified")).status, 206);
    for (const char* whole : {"bytes=0-1,4-5", "lines=1-2", "bytes=5-2", "bytes=x-"}) {
        Response answer = ask("app.js", whole);
        EXPECT_EQ(answer.status, 200) << whole;
        EXPECT_EQ(bytes_of(answer), "console.log(1);") << whole;
    }
}

TEST(ContentTypes, FollowTheExtensionCaseInsensitively) {
    EXPECT_EQ(app::content_type_for("a/b/INDEX.HTML"), "text/html; charset=utf-8");
    EXPECT_EQ(app::content_type_for("font.woff2"), "font/woff2");
    EXPECT_EQ(app::content_type_for("archive.tar.unknown"), "application/octet-stream");
    EXPECT_EQ(app::content_type_for("dir.js/README"), "application/octet-stream");
}

class IndexPageTest : public StaticFilesTest {};

TEST_F(IndexPageTest, EveryMarkerGetsTheSameFreshTokenAndCachingIsForbidden) {
    dir.write("static/index.html", "<script src=a.js?v=__CACHE_BUST__></script>__CACHE_BUST__");
    Response page = app::index(info);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers.get("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(page.headers.get("Cache-Control"), "no-cache, no-store, must-revalidate");
    EXPECT_EQ(page.body.find("__CACHE_BUST__"), std::string::npos);
    std::string token = page.body.substr(page.body.rfind('>') + 1);
    EXPECT_NE(page.body.find("?v=" + token + ">"), std::string::npos);
    long long now = std::time(nullptr);
    EXPECT_LE(std::llabs(std::stoll(token) - now), 2);
}

TEST_F(IndexPageTest, ChangesAreServedAtOnce) {
    dir.write("static/index.html", "one");
    EXPECT_EQ(app::index(info).body, "one");
    dir.write("static/index.html", "two");
    EXPECT_EQ(app::index(info).body, "two");
}

TEST_F(IndexPageTest, MissingFrontEndExplainsItselfWithStatus500) {
    Response page = app::index(info);
    EXPECT_EQ(page.status, 500);
    EXPECT_NE(
        page.body.find("<li>Quillo: 9.9.9</li><li>quillo_server: /opt/quillo</li><li>expected "
                       "index.html: " +
                       dir.file("static/index.html") + "</li>"),
        std::string::npos);
    EXPECT_NE(page.body.find("<pre>make install</pre>"), std::string::npos);
    EXPECT_NE(page.body.find("\ncd quillo\nmake run</pre></body></html>"), std::string::npos);
}

TEST_F(IndexPageTest, UnreadableIndexIsAnError) {
    dir.write("static/index.html", std::string("bad \xff utf-8"));
    EXPECT_THROW(app::index(info), std::runtime_error);
    std::filesystem::remove(dir.file("static/index.html"));
    std::filesystem::create_directories(dir.file("static/index.html"));
    EXPECT_THROW(app::index(info), std::system_error);
}

} // namespace
