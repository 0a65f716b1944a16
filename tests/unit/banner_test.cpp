#include "server/banner.h"
#include "server/server_log.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace quillo;
using namespace quillo::server;

namespace {

const std::string kTop = "\n    ╔══════════════════════════════════╗\n"
                         "    ║       Quillo Server           ║\n"
                         "    ║   Mobile Web IDE for Termux     ║\n"
                         "    ╠══════════════════════════════════╣\n";
const std::string kBottom = "\n    ║  Website: https://quillo.dev      ║\n"
                            "    ╚══════════════════════════════════╝\n    ";

TEST(Banner, SpellsEveryLineExactly) {
    std::vector<utils::DisplayAddress> display{{"127.0.0.1", AF_INET, "local"},
                                               {"::1", AF_INET6, "local"}};
    std::string expected = kTop +
                           "    ║  Port:    12345                 ║\n"
                           "    ║  Workspace: quillo_workspace  ║\n"
                           "    ║    127.0.0.1:12345 (local)\n"
                           "    ║    [::1]:12345 (local)" +
                           kBottom;
    EXPECT_EQ(banner_text(12345, "/home/u/quillo_workspace", display, kProjectWebsite), expected);
}

TEST(Banner, NoDisplayAddressesLeavesAnEmptyLine) {
    std::string text = banner_text(1, "/w", {}, kProjectWebsite);
    EXPECT_NE(text.find("║  Workspace: w                 ║\n\n    ║  Website: "),
              std::string::npos);
}

TEST(Banner, LongValuesPushTheBarOutAndAreNeverCut) {
    EXPECT_EQ(pad_right("abc", 5), "abc  ");
    EXPECT_EQ(pad_right("a-very-long-workspace-name", 18), "a-very-long-workspace-name");
    // Padding counts characters, not bytes.
    EXPECT_EQ(pad_right("工作区", 5), "工作区  ");
    std::string text =
        banner_text(12345, "/home/u/projects-of-the-whole-team", {}, kProjectWebsite);
    EXPECT_NE(text.find("║  Workspace: projects-of-the-whole-team║"), std::string::npos);
}

TEST(Banner, WorkspaceEndingInSlashShowsAnEmptyName) {
    EXPECT_EQ(workspace_name("/home/u/ws/"), "");
    EXPECT_EQ(workspace_name("/home/u/ws"), "ws");
    EXPECT_EQ(workspace_name("ws"), "ws");
}

TEST(Banner, AddressTextsBracketIPv6Only) {
    EXPECT_EQ(address_text("::", AF_INET6, 80), "[::]:80");
    EXPECT_EQ(address_text("0.0.0.0", AF_INET, 80), "0.0.0.0:80");
    EXPECT_EQ(address_text("x", 12345, 80), "x:80") << "any non-IPv6 family counts as IPv4";
    EXPECT_EQ(family_label(12345), "IPv4");
    EXPECT_EQ(bind_targets_text({{"0.0.0.0", AF_INET}, {"::", AF_INET6}}),
              "[('0.0.0.0', 'IPv4'), ('::', 'IPv6')]");
    EXPECT_EQ(bind_targets_text({}), "[]");
}

TEST(ServerLog, StartLineUsesUtcWithMicrosecondsDroppedWhenZero) {
    using namespace std::chrono;
    system_clock::time_point base{seconds(1796766142)};
    EXPECT_EQ(iso_utc_timestamp(base), "2026-12-08T21:42:22+00:00");
    EXPECT_EQ(iso_utc_timestamp(base + microseconds(123456)), "2026-12-08T21:42:22.123456+00:00");
    EXPECT_EQ(iso_utc_timestamp(base + microseconds(5)), "2026-12-08T21:42:22.000005+00:00");
    EXPECT_EQ(start_line(base), "\n--- Quillo Server starting at 2026-12-08T21:42:22+00:00 ---\n");
}

} // namespace
