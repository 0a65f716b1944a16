// The files module as the browser uses it: over HTTP, behind the sign-in,
// in the server that route modules are loaded into.
#include "server_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

using namespace quillo::integration;
using nlohmann::json;

class FilesApiTest : public ::testing::Test {
  protected:
    void start(ServerOptions options = {}) {
        server_ = std::make_unique<ServerProcess>(std::move(options));
        ASSERT_TRUE(server_->wait_until_listening()) << server_->describe();
        http::Client client = http_client(server_->host(), server_->port());
        auto setup = client.Post("/api/auth/setup", R"({"password":"pw"})", "application/json");
        ASSERT_TRUE(setup && setup->status == 200);
        std::string cookie = setup->get_header_value("Set-Cookie");
        cookie_ = cookie.substr(0, cookie.find(';'));
    }
    http::Result send(const std::string& method, const std::string& path,
                      const std::string& body = "", http::Headers headers = {}) {
        http::Client client = http_client(server_->host(), server_->port());
        http::Request request;
        request.method = method;
        request.path = path;
        request.headers = std::move(headers);
        request.headers.emplace("Cookie", cookie_);
        request.body = body;
        return client.send(request);
    }
    json call(const std::string& method, const std::string& path, const json& body = nullptr,
              int expected = 200) {
        http::Result result = send(method, path, body.is_null() ? "" : body.dump());
        EXPECT_TRUE(result) << method << " " << path;
        if (!result) {
            return json();
        }
        EXPECT_EQ(result->status, expected) << method << " " << path << ": " << result->body;
        return json::parse(result->body, nullptr, false);
    }
    std::string workspace_file(const std::string& name) const {
        return server_->workspace() + "/" + name;
    }
    // A content search's answer, one JSON object per line (the empty lines
    // a long search writes to notice a client that left carry nothing).
    std::vector<json> search_lines(const std::string& query) {
        http::Result result = send("GET", "/api/files/search/content?" + query);
        EXPECT_TRUE(result) << query;
        EXPECT_EQ(result->status, 200) << query << ": " << result->body;
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/x-ndjson; charset=utf-8");
        std::vector<json> lines;
        for (const std::string& line : split_lines(result->body)) {
            if (!line.empty()) {
                lines.push_back(json::parse(line, nullptr, false));
            }
        }
        return lines;
    }
    // Signs in afresh, as another device would: a session of its own.
    std::string new_session() {
        http::Client client = http_client(server_->host(), server_->port());
        auto login = client.Post("/api/auth/login", R"({"password":"pw"})", "application/json");
        EXPECT_TRUE(login && login->status == 200);
        std::string cookie = login->get_header_value("Set-Cookie");
        return cookie.substr(0, cookie.find(';'));
    }

    std::unique_ptr<ServerProcess> server_;
    std::string cookie_;
};

TEST_F(FilesApiTest, EditSaveConflictDeleteAndRestoreOverHttp) {
    start();
    http::Client anonymous = http_client(server_->host(), server_->port());
    EXPECT_EQ(anonymous.Get("/api/files/list?path=")->status, 401);

    // Bytes come back exactly, under a name with a blank and Chinese.
    const std::string text = "\xef\xbb\xbfprint('你好')\r\n";
    json saved = call("PUT", "/api/files/write", {{"path", "src/你好 world.py"}, {"content", text}},
                      404); // the folder does not exist yet
    call("POST", "/api/files/create", {{"path", "src"}, {"type", "directory"}});
    saved = call("PUT", "/api/files/write", {{"path", "src/你好 world.py"}, {"content", text}});
    EXPECT_EQ(read_text(workspace_file("src/你好 world.py")), text);
    json read = call("GET", "/api/files/read?path=src%2F%E4%BD%A0%E5%A5%BD%20world.py");
    EXPECT_EQ(read["content"], text);
    EXPECT_EQ(read["encoding"], "utf-8");
    EXPECT_EQ(read["etag"], saved["etag"]);

    // A change made elsewhere is never overwritten silently.
    write_text(workspace_file("src/你好 world.py"), "changed on disk\n");
    json conflict =
        call("PUT", "/api/files/write",
             {{"path", "src/你好 world.py"}, {"content", "mine"}, {"etag", read["etag"]}}, 409);
    EXPECT_TRUE(conflict["etag"].is_string() && conflict["etag"] != read["etag"]);
    EXPECT_EQ(read_text(workspace_file("src/你好 world.py")), "changed on disk\n");

    // Escapes, also percent-encoded, are refused before anything is touched.
    for (const char* path : {"%2e%2e/%2e%2e/etc/passwd", "%2Fetc%2Fpasswd", "a%00b"}) {
        EXPECT_EQ(send("GET", std::string("/api/files/read?path=") + path)->status, 400) << path;
    }
    std::filesystem::create_symlink("/etc", workspace_file("etc"));
    EXPECT_EQ(send("GET", "/api/files/raw?path=etc/hostname")->status, 403);

    // A byte range of the raw file, as a download.
    http::Result part =
        send("GET", "/api/files/raw?path=src/%E4%BD%A0%E5%A5%BD%20world.py&download=1", "",
             {{"Range", "bytes=0-6"}});
    ASSERT_TRUE(part);
    EXPECT_EQ(part->status, 206);
    EXPECT_EQ(part->body, "changed");
    EXPECT_EQ(part->get_header_value("Content-Range"), "bytes 0-6/16");
    EXPECT_NE(part->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
    EXPECT_EQ(part->get_header_value("Content-Security-Policy"), "sandbox");

    // Delete moves into the trash outside the workspace; restore brings it back.
    json deleted = call("DELETE", "/api/files/delete?path=src");
    EXPECT_FALSE(std::filesystem::exists(workspace_file("src")));
    json trash = call("GET", "/api/files/trash");
    ASSERT_EQ(trash["items"].size(), 1u);
    EXPECT_EQ(trash["items"][0]["path"], "src");
    call("POST", "/api/files/restore", {{"id", deleted["trash_id"]}});
    EXPECT_EQ(read_text(workspace_file("src/你好 world.py")), "changed on disk\n");

    // A name that is not UTF-8 is listed with U+FFFD and addressed by its raw
    // form, in a query and in a body alike.
    write_text(workspace_file("caf\xe9.txt"), "old");
    std::string raw;
    json listing = call("GET", "/api/files/list?path=");
    for (const json& entry : listing["entries"]) {
        if (entry.contains("raw")) {
            EXPECT_EQ(entry["name"], "caf\uFFFD.txt");
            raw = entry["raw"];
        }
    }
    ASSERT_FALSE(raw.empty());
    call("PUT", "/api/files/write", {{"raw", raw}, {"content", "new"}});
    EXPECT_EQ(call("GET", "/api/files/read?raw=" + raw)["content"], "new");

    // Uploads never replace unless asked to; search skips node_modules.
    EXPECT_EQ(send("POST", "/api/files/upload?path=src&name=data.bin", "\x01\x02")->status, 200);
    EXPECT_EQ(send("POST", "/api/files/upload?path=src&name=data.bin", "new")->status, 409);
    write_text(workspace_file("node_modules/lib/data.js"), "");
    json found = call("GET", "/api/files/search?q=DATA");
    ASSERT_EQ(found["results"].size(), 1u);
    EXPECT_EQ(found["results"][0]["path"], "src/data.bin");
}

// The server runs under a file-size limit: a save that would pass it fails
// with 413 and the old content stays whole.
TEST_F(FilesApiTest, ASaveCutShortLeavesTheOldContent) {
    ServerOptions options;
    options.file_size_limit = 64 * 1024;
    start(options);
    json first = call("PUT", "/api/files/write", {{"path", "notes.txt"}, {"content", "keep me"}});
    json refused = call("PUT", "/api/files/write",
                        {{"path", "notes.txt"}, {"content", std::string(100 * 1024, 'x')}}, 413);
    EXPECT_TRUE(refused["error"].is_string());
    EXPECT_EQ(read_text(workspace_file("notes.txt")), "keep me");
    EXPECT_EQ(call("GET", "/api/files/list?path=")["entries"].size(), 1u)
        << "no temporary file is left in the workspace";
}

// Content search: what it finds and where, what it skips, and how its
// answer ends.
TEST_F(FilesApiTest, ContentSearchFindsTextAndSkipsWhatIsNotSource) {
    start();
    // "é" is one UTF-16 unit in two bytes, "😀" two units in four bytes, so
    // the column of "print" tells units from bytes and code points.
    write_text(workspace_file("src/a.py"), "import os\n    print(x)\ny = 'é😀 PRINT'\r\n");
    std::string long_line;
    for (int i = 0; i < 400; ++i) {
        long_line += "é";
    }
    write_text(workspace_file("src/long.txt"), long_line + "print\n");
    write_text(workspace_file(".hidden/notes.md"), "print me\n");
    write_text(workspace_file(".git/config"), "print\n");
    write_text(workspace_file("node_modules/m/index.js"), "print\n");
    write_text(workspace_file("data.bin"), std::string("print\0\1", 7));
    write_text(workspace_file("latin1.txt"), "caf\xe9 print\n");
    write_text(workspace_file("big.txt"), "print\n" + std::string(1024 * 1024, 'x'));
    write_text(server_->home() + "/outside/secret.txt", "print\n");
    std::filesystem::create_directory_symlink(server_->home() + "/outside", workspace_file("out"));
    std::filesystem::create_directory_symlink("src", workspace_file("src_link"));

    std::vector<json> lines = search_lines("q=print");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0],
              json({{"path", ".hidden/notes.md"}, {"line", 1}, {"col", 1}, {"text", "print me"}}));
    EXPECT_EQ(lines[1],
              json({{"path", "src/a.py"}, {"line", 2}, {"col", 5}, {"text", "    print(x)"}}));
    EXPECT_EQ(lines[2],
              json({{"path", "src/a.py"}, {"line", 3}, {"col", 10}, {"text", "y = 'é😀 PRINT'"}}));
    EXPECT_EQ(lines[3]["path"], "src/long.txt");
    EXPECT_EQ(lines[3]["col"], 401);
    EXPECT_EQ(lines[3]["text"], long_line.substr(0, 300)) << "cut to 300 bytes, between characters";
    EXPECT_EQ(lines[4], json({{"done", true}, {"truncated", false}, {"files", 3}, {"matches", 4}}));

    // Exact case on request, and a folder of its own.
    lines = search_lines("q=PRINT&case=1&path=src");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["line"], 3);
    EXPECT_EQ(lines[1], json({{"done", true}, {"truncated", false}, {"files", 2}, {"matches", 1}}));

    for (const char* refused : {"q=", "path=src&q=", "q=print&path=..", "q=print&path=out",
                                "q=print&path=src/a.py", "q=print&path=missing"}) {
        http::Result result = send("GET", std::string("/api/files/search/content?") + refused);
        EXPECT_EQ(result->status, 400) << refused << ": " << result->body;
        EXPECT_TRUE(json::parse(result->body, nullptr, false).contains("error")) << refused;
    }
    EXPECT_EQ(send("GET", "/api/files/search/content?q=" + std::string(201, 'x'))->status, 400);
}

// 60 files of 20 matches each pass the cap of 1,000; a client that leaves
// mid-answer does not stop the server from answering the next.
TEST_F(FilesApiTest, ContentSearchStopsAtItsCapAndWhenTheClientLeaves) {
    start();
    std::string text;
    for (int i = 0; i < 20; ++i) {
        text += "needle " + std::string(250, 'n') + "\n";
    }
    for (int i = 0; i < 60; ++i) {
        write_text(workspace_file("tree/" + std::to_string(i) + ".txt"), text);
    }
    std::vector<json> lines = search_lines("q=NEEDLE");
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines.back(),
              json({{"done", true}, {"truncated", true}, {"files", 50}, {"matches", 1000}}));

    {
        ClientSocket socket(server_->port());
        ASSERT_TRUE(socket.connected());
        std::string request =
            "GET /api/files/search/content?q=needle HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Cookie: " +
            cookie_ + "\r\n\r\n";
        ASSERT_EQ(::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        char head[512];
        ASSERT_GT(::recv(socket.fd(), head, sizeof head, 0), 0) << "the answer has begun";
        EXPECT_EQ(std::string(head, 15), "HTTP/1.1 200 OK");
    } // closed mid-answer, as an aborted fetch does

    lines = search_lines("q=needle&path=tree");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["matches"], 1000);
}

TEST_F(FilesApiTest, TrashItemsAreDeletedForGoodWithoutFollowingLinks) {
    start();
    write_text(server_->home() + "/outside/keep.txt", "mine");
    write_text(workspace_file("a.txt"), "aaaa");
    write_text(workspace_file("b.txt"), "bb");
    write_text(workspace_file("dir/sub/c.txt"), "c");
    std::filesystem::create_symlink(server_->home() + "/outside/keep.txt",
                                    workspace_file("dir/link"));
    std::filesystem::create_directory_symlink(server_->home() + "/outside",
                                              workspace_file("dir/out"));
    std::string a = call("DELETE", "/api/files/delete?path=a.txt")["trash_id"];
    call("DELETE", "/api/files/delete?path=b.txt");
    std::string dir = call("DELETE", "/api/files/delete?path=dir")["trash_id"];
    EXPECT_EQ(call("GET", "/api/files/trash")["total_size"], 7);

    EXPECT_EQ(call("DELETE", "/api/files/trash/" + a), json({{"ok", true}}));
    json trash = call("GET", "/api/files/trash");
    ASSERT_EQ(trash["items"].size(), 2u);
    EXPECT_EQ(trash["total_size"], 3);
    EXPECT_TRUE(call("POST", "/api/files/restore", {{"id", a}}, 404).contains("error"));
    EXPECT_TRUE(call("DELETE", "/api/files/trash/" + a, nullptr, 404).contains("error"));
    for (const char* id : {"..", "000000000000-000000000000", "trash"}) {
        EXPECT_EQ(send("DELETE", std::string("/api/files/trash/") + id)->status, 404) << id;
    }

    call("DELETE", "/api/files/trash/" + dir);
    EXPECT_EQ(read_text(server_->home() + "/outside/keep.txt"), "mine");
    EXPECT_EQ(call("GET", "/api/files/trash")["items"].size(), 1u);

    EXPECT_EQ(call("DELETE", "/api/files/trash"), json({{"ok", true}, {"deleted", 1}}));
    trash = call("GET", "/api/files/trash");
    EXPECT_TRUE(trash["items"].empty());
    EXPECT_EQ(trash["total_size"], 0);
    EXPECT_TRUE(std::filesystem::is_empty(server_->config_dir() + "/trash"));
    EXPECT_TRUE(std::filesystem::exists(server_->home() + "/outside/keep.txt"));
}

TEST_F(FilesApiTest, SettingsFollowTheUserToAnotherDevice) {
    start();
    EXPECT_EQ(call("GET", "/api/files/settings"), json({{"settings", json::object()}}));
    json first = {
        {"theme", "dark"}, {"font.size", 14}, {"wrap", true}, {"recent", {"a.py", "b.py"}}};
    EXPECT_EQ(call("PUT", "/api/files/settings", {{"settings", first}}),
              json({{"settings", first}}));

    cookie_ = new_session();
    EXPECT_EQ(call("GET", "/api/files/settings"), json({{"settings", first}}));
    json merged =
        call("PUT", "/api/files/settings", {{"settings", {{"theme", nullptr}, {"tab_size", 4}}}});
    json expected = {
        {"font.size", 14}, {"wrap", true}, {"recent", {"a.py", "b.py"}}, {"tab_size", 4}};
    EXPECT_EQ(merged, json({{"settings", expected}}));

    json too_many = json::object();
    for (int i = 0; i < 61; ++i) {
        too_many[std::to_string(i) + "k"] = i;
    }
    std::vector<json> refused = {
        {{"settings", {{"bad key", 1}}}},
        {{"settings", {{std::string(65, 'k'), 1}}}},
        {{"settings", {{"nested", {{"a", 1}}}}}},
        {{"settings", {{"long", std::string(257, 'x')}}}},
        {{"settings", {{"list", json::array({1, 2})}}}},
        {{"settings", {{"list", std::vector<std::string>(65, "x")}}}},
        {{"settings", too_many}},
        {{"settings", {{"pad", std::string(200, 'x')}}}, {"padding", std::string(17 * 1024, 'x')}},
        {{"settings", "dark"}},
        json::array(),
    };
    for (const json& body : refused) {
        json answer = call("PUT", "/api/files/settings", body, 400);
        EXPECT_TRUE(answer.contains("error")) << body.dump().substr(0, 100);
    }
    EXPECT_EQ(call("GET", "/api/files/settings"), json({{"settings", expected}}));

    std::string stored = server_->config_dir() + "/ide_settings.json";
    struct stat st {};
    ASSERT_EQ(::stat(stored.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // A stored file that cannot be parsed reads as nothing, and is kept
    // aside, not overwritten, by the next change.
    write_text(stored, "{\"theme\": ");
    EXPECT_EQ(call("GET", "/api/files/settings"), json({{"settings", json::object()}}));
    EXPECT_EQ(call("PUT", "/api/files/settings", {{"settings", {{"wrap", false}}}}),
              json({{"settings", {{"wrap", false}}}}));
    EXPECT_EQ(read_text(stored + ".bad"), "{\"theme\": ");
    EXPECT_TRUE(server_->wait_for_stderr("ide_settings.json.bad"));
}

} // namespace
