#include "process/launch_edits.h"

#include <gtest/gtest.h>

using namespace quillo::process;
using quillo::utils::Platform;

namespace {

LaunchOptions edited(LaunchOptions options, Platform platform) {
    apply_text_mode_edit(options);
    inject_no_window(options, platform);
    return options;
}

TEST(TextModeTest, OnlyTrueOrOneSwitchesOrAnEncodingKeyCount) {
    auto with_text = [](Option<Scalar> value) {
        LaunchOptions options;
        options.text = value;
        return is_text_mode(options);
    };
    EXPECT_TRUE(with_text(Scalar(true)));
    EXPECT_TRUE(with_text(Scalar(1LL)));
    EXPECT_FALSE(with_text(Scalar(false)));
    EXPECT_FALSE(with_text(Scalar(0LL)));
    EXPECT_FALSE(with_text(Scalar(2LL)));
    EXPECT_FALSE(with_text(Scalar(std::string("yes")))) << "a text is not a switch";
    EXPECT_FALSE(with_text(Option<Scalar>::null()));
    EXPECT_FALSE(is_text_mode(LaunchOptions{}));

    LaunchOptions newlines;
    newlines.universal_newlines = Scalar(1LL);
    EXPECT_TRUE(is_text_mode(newlines));
    LaunchOptions null_encoding;
    null_encoding.encoding = Option<std::string>::null();
    EXPECT_TRUE(is_text_mode(null_encoding));
}

TEST(TextModeTest, TolerantDecodingIsAddedUnlessTheCallerChoseErrors) {
    LaunchOptions text;
    text.text = Scalar(true);
    LaunchOptions plain = edited(text, Platform::Linux);
    EXPECT_EQ(plain.errors.value(), "replace");
    EXPECT_EQ(plain.encoding.value(), "utf-8");

    LaunchOptions gbk;
    gbk.encoding = std::string("gbk");
    LaunchOptions named = edited(gbk, Platform::Linux);
    EXPECT_EQ(named.errors.value(), "replace");
    EXPECT_EQ(named.encoding.value(), "gbk");

    LaunchOptions null_encoding;
    null_encoding.encoding = Option<std::string>::null();
    LaunchOptions kept = edited(null_encoding, Platform::Linux);
    EXPECT_EQ(kept.errors.value(), "replace");
    EXPECT_TRUE(kept.encoding.is_null()) << "a null encoding is kept";

    for (Option<std::string> errors :
         {Option<std::string>(std::string("strict")), Option<std::string>::null()}) {
        LaunchOptions chosen;
        chosen.text = Scalar(true);
        chosen.errors = errors;
        LaunchOptions untouched = edited(chosen, Platform::Linux);
        EXPECT_EQ(untouched.errors.is_null(), errors.is_null());
        EXPECT_FALSE(untouched.encoding.present()) << "not even a missing encoding is added";
    }

    LaunchOptions binary = edited(LaunchOptions{}, Platform::Linux);
    EXPECT_FALSE(binary.errors.present());
    EXPECT_FALSE(binary.encoding.present());
    EXPECT_FALSE(binary.creationflags.present());
    EXPECT_FALSE(binary.startupinfo.present());
}

long long flags_of(const LaunchOptions& options) {
    return std::get<long long>(options.creationflags.value());
}

TEST(NoWindowTest, WindowsChildrenGetNoWindowUnlessFlagsAreZero) {
    for (Option<Scalar> absent_or_null : {Option<Scalar>(), Option<Scalar>::null()}) {
        LaunchOptions options;
        options.creationflags = absent_or_null;
        LaunchOptions hidden = edited(options, Platform::Windows);
        EXPECT_EQ(flags_of(hidden), kCreateNoWindow);
        ASSERT_TRUE(hidden.startupinfo.has_value());
        EXPECT_EQ(hidden.startupinfo.value().dwFlags & kStartfUseShowWindow, kStartfUseShowWindow);
        EXPECT_EQ(hidden.startupinfo.value().wShowWindow, 0);
    }

    LaunchOptions wants_window;
    wants_window.creationflags = Scalar(0LL);
    LaunchOptions left = edited(wants_window, Platform::Windows);
    EXPECT_EQ(flags_of(left), 0);
    EXPECT_FALSE(left.startupinfo.present());

    LaunchOptions other;
    other.creationflags = Scalar(0x200LL); // CREATE_NEW_PROCESS_GROUP
    LaunchOptions once = edited(other, Platform::Windows);
    EXPECT_EQ(flags_of(once), 0x200 | kCreateNoWindow);
    EXPECT_EQ(flags_of(edited(once, Platform::Windows)), 0x200 | kCreateNoWindow)
        << "a second pass changes nothing";

    LaunchOptions own_record;
    own_record.startupinfo = StartupInfo{0, 5}; // SW_SHOW
    LaunchOptions used = edited(own_record, Platform::Windows);
    EXPECT_EQ(used.startupinfo.value().wShowWindow, 5);
    EXPECT_EQ(flags_of(used), kCreateNoWindow);

    LaunchOptions bad;
    bad.creationflags = Scalar(std::string("window"));
    EXPECT_THROW(edited(bad, Platform::Windows), std::invalid_argument);
    EXPECT_NO_THROW(edited(bad, Platform::MacOS)) << "only Windows looks at the flags";
}

} // namespace
