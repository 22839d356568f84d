#include "video/text_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace tarvello {
namespace {

TEST(TextPage, SameArgumentsGiveTheSameBytesAndAnotherSeedAnotherPage) {
    const TextPage a = TextPage::render(300, 400, 7), b = TextPage::render(300, 400, 7);
    EXPECT_EQ(a.bgrx, b.bgrx);
    EXPECT_NE(a.bgrx, TextPage::render(300, 400, 8).bgrx);
    ASSERT_EQ(a.bgrx.size(), size_t(300) * 400 * 4);
    for (size_t i = 3; i < a.bgrx.size(); i += 4) ASSERT_EQ(a.bgrx[i], 255);
}

TEST(TextPage, ATallerPageStartsWithTheShorterOne) {
    // Scrolling through a tall page shows the same lines a screen-high page has.
    const TextPage screen = TextPage::render(260, 520), tall = TextPage::render(260, 1040);
    EXPECT_EQ(std::memcmp(screen.bgrx.data(), tall.bgrx.data(), screen.bgrx.size()), 0);
}

TEST(TextPage, LinesHoldAntiAliasedInkOnAPlainBackground) {
    const TextPage p = TextPage::render(1178, 2556);
    std::set<uint32_t> colours;
    size_t background = 0, ink = 0, partial = 0;
    for (int y = 0; y < p.height; ++y) {
        const uint8_t* row = p.row(y);
        // The first stretch is the dark terminal, the second the light page.
        const int bg = (y / TextPage::cellHeight / 40) % 2 == 0 ? 30 : 255;
        for (int x = 0; x < p.width; ++x) {
            const uint8_t* px = row + x * 4;
            colours.insert(uint32_t(px[0]) | uint32_t(px[1]) << 8 | uint32_t(px[2]) << 16);
            if (px[0] == bg && px[1] == bg && px[2] == bg)
                ++background;
            else if (std::abs(int(px[1]) - bg) > 120)
                ++ink;
            else
                ++partial;
        }
    }
    const double total = double(p.width) * p.height;
    EXPECT_GT(background / total, 0.6);  // mostly background, as text is
    EXPECT_GT(ink / total, 0.03);
    EXPECT_GT(partial, ink / 4);  // edges are smoothed, not hard
    EXPECT_GT(colours.size(), 100u);
}

TEST(TextPage, SizesWithoutRoomForACellAreBackgroundOnly) {
    const TextPage p = TextPage::render(10, 30);
    ASSERT_EQ(p.bgrx.size(), size_t(10) * 30 * 4);
    EXPECT_TRUE(std::all_of(p.bgrx.begin(), p.bgrx.end(), [](uint8_t b) { return b == 30 || b == 255; }));
    EXPECT_TRUE(TextPage::render(0, 0).bgrx.empty());
    EXPECT_TRUE(TextPage::render(-5, 10).bgrx.empty());
}

}  // namespace
}  // namespace tarvello
