// The settings file: the window's own key changes without disturbing the lines the agent,
// the browse and the user wrote.
#include <gtest/gtest.h>

#include "platform/config_file.h"

using namespace shardex::platform;

TEST(ConfigFile, ASettingIsReplacedInPlaceAndOtherLinesKept) {
    struct Case {
        const char *before, *value, *after;
    } cases[] = {
        {"", "/v", "source_folder=/v\n"},
        {"browse_ms=500", "/v", "browse_ms=500\nsource_folder=/v\n"},  // no final line break
        {"# mine\nsource_folder=/a\nbrowse_ms=5\n", "/b", "# mine\nsource_folder=/b\nbrowse_ms=5\n"},
        {"source_folder=/a\nx=1\nsource_folder=/c\n", "/b", "source_folder=/b\nx=1\n"},  // one line left
        {"source_folder_old=/a\n", "/b", "source_folder_old=/a\nsource_folder=/b\n"},    // another key
        {"", "/a=b c", "source_folder=/a=b c\n"},
        {"", "/a\nbrowse_ms=0", "source_folder=/a\n"},  // a value never adds a line
    };
    for (const auto& c : cases) {
        const std::string after = with_setting(c.before, "source_folder", c.value);
        EXPECT_EQ(after, c.after) << c.before;
        EXPECT_EQ(setting_in(after, "browse_ms"), setting_in(c.before, "browse_ms")) << c.before;
    }
    EXPECT_EQ(setting_in("source_folder=/a\r\nsource_folder=/b\r\n", "source_folder"), "/b");  // the last wins
    EXPECT_EQ(setting_in("source_folders=/a\n", "source_folder"), "");
}
