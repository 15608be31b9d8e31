// The built-in files: served at exactly their paths, and each page with the
// style sheet and script it loads within the board's budget of 100 KiB.
#include "web/assets.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(Assets, EveryPageWithItsStyleAndScriptStaysUnder100KiB)
{
    const gwweb::Asset *css = gwweb::find_asset("/app.css");
    const gwweb::Asset *js = gwweb::find_asset("/app.js");
    ASSERT_NE(css, nullptr);
    ASSERT_NE(js, nullptr);
    size_t count = 0;
    const gwweb::Asset *all = gwweb::assets(count);
    int pages = 0;
    for (size_t i = 0; i < count; ++i) {
        if (std::string(all[i].content_type).find("text/html") != 0)
            continue;
        ++pages;
        const std::string page(reinterpret_cast<const char *>(all[i].data), all[i].size);
        EXPECT_NE(page.find("<script src=\"/app.js\""), std::string::npos) << all[i].path;
        EXPECT_NE(page.find("href=\"/app.css\""), std::string::npos) << all[i].path;
        // Nothing from outside: no other origin, and nothing inline that the
        // content security policy would block.
        EXPECT_EQ(page.find("http"), std::string::npos) << all[i].path;
        EXPECT_EQ(page.find("style="), std::string::npos) << all[i].path;
        EXPECT_EQ(page.find("onclick"), std::string::npos) << all[i].path;
        EXPECT_LT(all[i].size + css->size + js->size, 100u * 1024) << all[i].path;
    }
    EXPECT_EQ(pages, 5);
}

TEST(Assets, OnlyExactPathsAreServed)
{
    for (const char *path : {"/", "/login", "/status", "/config", "/firmware", "/app.css", "/app.js"})
        EXPECT_NE(gwweb::find_asset(path), nullptr) << path;
    for (const char *path : {"", "/app.js/", "/app.js/../app.css", "//status", "/status?x", "/STATUS",
                             "/../app.js", "/app.css%00", "/assets/app.js"})
        EXPECT_EQ(gwweb::find_asset(path), nullptr) << path;
}

} // namespace
