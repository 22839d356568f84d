#include "video/png_writer.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

namespace tarvello {
namespace {

struct Image {
    int width = 0, height = 0;
    Bytes pixels;
};

// Reads with libpng itself, into the requested layout.
std::optional<Image> readPng(const std::string* path, const Bytes* memory, png_uint_32 format) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    const int ok = path ? png_image_begin_read_from_file(&image, path->c_str())
                        : png_image_begin_read_from_memory(&image, memory->data(), memory->size());
    if (!ok) return std::nullopt;
    image.format = format;
    Image out;
    out.width = int(image.width);
    out.height = int(image.height);
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) return std::nullopt;
    return out;
}

Bytes gradient(int w, int h, int channels) {
    Bytes b(size_t(w) * size_t(h) * size_t(channels));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c)
                b[(size_t(y) * size_t(w) + size_t(x)) * size_t(channels) + size_t(c)] =
                    uint8_t(x * 3 + y * 5 + c * 60);
    return b;
}

TEST(PngWriter, WrittenFileReadsBackWithItsSizeAndPixels) {
    const int w = 37, h = 21;
    const Bytes rgb = gradient(w, h, 3);
    const std::string path = ::testing::TempDir() + "/png_writer_test_" + std::to_string(::getpid()) + ".png";
    ASSERT_TRUE(writePng(path, w, h, rgb));
    auto back = readPng(&path, nullptr, PNG_FORMAT_RGB);
    std::filesystem::remove(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, w);
    EXPECT_EQ(back->height, h);
    EXPECT_EQ(back->pixels, rgb);
}

TEST(PngWriter, RgbaKeepsStraightAlpha) {
    const int w = 8, h = 5;
    Bytes rgba = gradient(w, h, 4);
    rgba[3] = 0;                      // a fully transparent pixel keeps its colour
    rgba[(2 * w + 3) * 4 + 3] = 128;  // a half-transparent one
    const Bytes png = encodePng(w, h, rgba, PngPixels::rgba32);
    ASSERT_FALSE(png.empty());
    EXPECT_EQ(0, std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8));
    auto back = readPng(nullptr, &png, PNG_FORMAT_RGBA);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->pixels, rgba);
}

TEST(PngWriter, PaddedRowsEncodeLikePackedRows) {
    const int w = 5, h = 4;
    const Bytes packed = gradient(w, h, 3);
    const size_t stride = 16;                              // one byte of padding per row
    Bytes padded(stride * (h - 1) + size_t(w) * 3, 0xEE);  // last row needs no padding
    for (int y = 0; y < h; ++y)
        std::memcpy(&padded[size_t(y) * stride], &packed[size_t(y) * w * 3], size_t(w) * 3);
    const Bytes png = encodePng(w, h, padded, PngPixels::rgb24, stride);
    ASSERT_FALSE(png.empty());
    auto back = readPng(nullptr, &png, PNG_FORMAT_RGB);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->pixels, packed);
}

TEST(PngWriter, RejectsWhatItCannotEncode) {
    const Bytes rgb = gradient(4, 4, 3);
    EXPECT_TRUE(encodePng(0, 4, rgb).empty());
    EXPECT_TRUE(encodePng(4, -1, rgb).empty());
    EXPECT_TRUE(encodePng(4, 5, rgb).empty());                       // buffer too short
    EXPECT_TRUE(encodePng(4, 4, rgb, PngPixels::rgba32).empty());    // too short as RGBA
    EXPECT_TRUE(encodePng(4, 2, rgb, PngPixels::rgb24, 6).empty());  // stride shorter than a row
    EXPECT_FALSE(writePng(::testing::TempDir() + "/no/such/dir/x.png", 4, 4, rgb));
}

}  // namespace
}  // namespace tarvello
