#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "QuelmHostKit/clipboard/ClipImagePreparer.hpp"
#include "QuelmHostKit/linux/gtk/GdkPixbufImageCodec.hpp"
#include "tests/fakes/CraftedImages.hpp"
#include "tests/fakes/FakeImageCodec.hpp"

namespace quelm {
namespace {

using test::FakeImageCodec;

const Bytes kAnyBytes(1000, 7);

// --- the size loop, over a codec that only counts ---

TEST(ClipImagePrepare, PngAndJpegWithinTheLimitPassUntouched) {
    for (auto [type, format] : {std::pair{ImageFileType::png, ClipImageFormat::png},
                                std::pair{ImageFileType::jpeg, ClipImageFormat::jpeg}}) {
        FakeImageCodec codec;
        codec.type = type;
        codec.width = 20000;  // pixel size does not matter
        auto prepared = ClipImage::prepare(kAnyBytes, kAnyBytes.size(), codec);
        ASSERT_TRUE(prepared);
        EXPECT_EQ(prepared->data, kAnyBytes);
        EXPECT_EQ(prepared->format, format);
        EXPECT_TRUE(codec.thumbnailEdges.empty());
    }
}

TEST(ClipImagePrepare, ShrinksByQuartersUntilTheJpegFits) {
    struct Case {
        const char* name;
        ImageFileType type;
        std::optional<int> width, height;
        std::size_t maxBytes;
        std::vector<int> edges;
        bool prepared;
    };
    // The fake's JPEG of edge e is e bytes; the file is 1000 bytes.
    std::vector<Case> cases = {
        {"PNG over the limit", ImageFileType::png, 1000, 800, 800, {1000, 750}, true},
        {"TIFF within the limit", ImageFileType::other, 600, 900, 1000, {900}, true},
        {"unknown size starts at 4096",
         ImageFileType::other,
         std::nullopt,
         std::nullopt,
         1,
         {4096, 3072, 2304, 1728, 1296, 972, 729, 546, 409, 306},
         false},
        {"one side unknown", ImageFileType::other, 300, std::nullopt, 3072, {4096, 3072}, true},
        {"255 pixels is too small", ImageFileType::other, 255, 100, 1 << 30, {}, false},
        {"256 pixels gets one try", ImageFileType::other, 256, 100, 1, {256}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeImageCodec codec;
        codec.type = c.type;
        codec.width = c.width;
        codec.height = c.height;
        auto prepared = ClipImage::prepare(kAnyBytes, c.maxBytes, codec);
        EXPECT_EQ(codec.thumbnailEdges, c.edges);
        ASSERT_EQ(prepared.has_value(), c.prepared);
        if (prepared) {
            EXPECT_EQ(prepared->format, ClipImageFormat::jpeg);
            EXPECT_EQ(prepared->data.size(), std::size_t(c.edges.back()));
            EXPECT_DOUBLE_EQ(codec.lastQuality, 0.85);
        }
    }
}

TEST(ClipImagePrepare, FailedThumbnailsOrEncodingsMoveOnToTheNextSize) {
    FakeImageCodec codec;
    codec.failingEdges = {1000};
    codec.jpegBytes = [](int edge) -> std::optional<std::size_t> {
        if (edge == 750) {
            return std::nullopt;
        }
        return std::size_t(edge);
    };
    auto prepared = ClipImage::prepare(kAnyBytes, 1 << 20, codec);
    EXPECT_EQ(codec.thumbnailEdges, (std::vector<int>{1000, 750, 562}));
    ASSERT_TRUE(prepared);

    FakeImageCodec unreadable;
    unreadable.opens = false;
    EXPECT_FALSE(ClipImage::prepare(kAnyBytes, 1 << 20, unreadable));
}

// --- real images through gdk-pixbuf ---

struct PixbufDeleter {
    void operator()(GdkPixbuf* p) const { g_object_unref(p); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, PixbufDeleter>;

// Noise compresses badly, so file sizes grow with the pixel count.
Pixbuf makePicture(int width, int height, bool alpha = false, bool noise = true) {
    Pixbuf pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, width, height));
    int channels = gdk_pixbuf_get_n_channels(pixbuf.get());
    int stride = gdk_pixbuf_get_rowstride(pixbuf.get());
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf.get());
    std::minstd_rand random(7);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            guchar* p = pixels + y * stride + x * channels;
            for (int c = 0; c < 3; ++c) {
                p[c] = noise ? guchar(random()) : guchar(x * 255 / width);
            }
            if (alpha) {
                p[3] = 0;  // fully transparent
            }
        }
    }
    return pixbuf;
}

Bytes save(GdkPixbuf* pixbuf, const char* type) {
    gchar* buffer = nullptr;
    gsize size = 0;
    GError* error = nullptr;
    bool ok = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, &error, nullptr);
    EXPECT_TRUE(ok) << (error ? error->message : "");
    g_clear_error(&error);
    Bytes out(buffer, buffer + size);
    g_free(buffer);
    return out;
}

Pixbuf load(const Bytes& data) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    gdk_pixbuf_loader_write(loader, data.data(), data.size(), nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    Pixbuf out(pixbuf ? GDK_PIXBUF(g_object_ref(pixbuf)) : nullptr);
    g_object_unref(loader);
    return out;
}

bool isJpeg(const Bytes& data) {
    return data.size() > 3 && data[0] == 0xFF && data[1] == 0xD8;
}

// A JPEG whose EXIF says "rotate 90 degrees clockwise to show" (orientation 6).
Bytes withExifOrientation(Bytes jpeg, std::uint8_t orientation) {
    const Bytes exif = {'E',  'x',         'i', 'f', 0, 0,         // APP1 identifier
                        'M',  'M',         0,   42,  0, 0, 0, 8,   // big-endian TIFF header
                        0,    1,                                   // one IFD entry
                        0x01, 0x12,        0,   3,   0, 0, 0, 1,   // Orientation, SHORT, 1 value
                        0,    orientation, 0,   0,   0, 0, 0, 0};  // the value; no next IFD
    Bytes segment = {0xFF, 0xE1, 0, std::uint8_t(exif.size() + 2)};
    segment.insert(segment.end(), exif.begin(), exif.end());
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

class ClipImagePrepareReal : public ::testing::Test {
  protected:
    GdkPixbufImageCodec codec;
};

TEST_F(ClipImagePrepareReal, PngAndJpegFilesWithinTheLimitAreReturnedAsTheyAre) {
    auto picture = makePicture(120, 80);
    for (auto [type, format] :
         {std::pair{"png", ClipImageFormat::png}, std::pair{"jpeg", ClipImageFormat::jpeg}}) {
        SCOPED_TRACE(type);
        auto file = save(picture.get(), type);
        auto prepared = ClipImage::prepare(file, ClipImage::maxBytes, codec);
        ASSERT_TRUE(prepared);
        EXPECT_EQ(prepared->format, format);
        EXPECT_EQ(prepared->data, file);
    }
}

TEST_F(ClipImagePrepareReal, OtherFormatsBecomeJpegAndSmallOnesAreRefused) {
    for (const char* type : {"bmp", "tiff"}) {
        SCOPED_TRACE(type);
        auto file = save(makePicture(400, 300).get(), type);
        auto prepared = ClipImage::prepare(file, ClipImage::maxBytes, codec);
        ASSERT_TRUE(prepared);
        EXPECT_EQ(prepared->format, ClipImageFormat::jpeg);
        ASSERT_TRUE(isJpeg(prepared->data));
        auto decoded = load(prepared->data);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(gdk_pixbuf_get_width(decoded.get()), 400);
        EXPECT_EQ(gdk_pixbuf_get_height(decoded.get()), 300);

        auto tiny = save(makePicture(200, 100).get(), type);
        EXPECT_FALSE(ClipImage::prepare(tiny, ClipImage::maxBytes, codec));
    }
    const Bytes notAnImage(5000, 'x');
    EXPECT_FALSE(ClipImage::prepare(notAnImage, ClipImage::maxBytes, codec));
}

TEST_F(ClipImagePrepareReal, OversizePngShrinksToTheFirstSizeThatFits) {
    auto file = save(makePicture(1200, 900).get(), "png");
    // Big enough for a noisy JPEG of about 700 pixels across, not for 900 or more.
    const std::size_t limit = 400 * 1024;
    ASSERT_GT(file.size(), limit);
    auto prepared = ClipImage::prepare(file, limit, codec);
    ASSERT_TRUE(prepared);
    EXPECT_EQ(prepared->format, ClipImageFormat::jpeg);
    EXPECT_LE(prepared->data.size(), limit);
    auto decoded = load(prepared->data);
    ASSERT_TRUE(decoded);
    int width = gdk_pixbuf_get_width(decoded.get());
    int height = gdk_pixbuf_get_height(decoded.get());
    // One of the sizes of the quarter steps from 1200: 1200, 900, 675, 506 ...
    EXPECT_TRUE(width == 1200 || width == 900 || width == 675 || width == 506) << width;
    EXPECT_EQ(height, width * 3 / 4);

    // With 900 across fitting only just, the loop must not settle for a smaller one.
    auto bigger = ClipImage::prepare(file, prepared->data.size() * 4, codec);
    ASSERT_TRUE(bigger);
    EXPECT_GT(gdk_pixbuf_get_width(load(bigger->data).get()), width);
}

TEST_F(ClipImagePrepareReal, OrientationIsAppliedWhenReencoding) {
    auto jpeg = withExifOrientation(save(makePicture(600, 400, false, false).get(), "jpeg"), 6);
    auto prepared = ClipImage::prepare(jpeg, jpeg.size() - 1, codec);  // forces re-encoding
    ASSERT_TRUE(prepared);
    auto decoded = load(prepared->data);
    ASSERT_TRUE(decoded);
    // Upright: 400 by 600, or a quarter step down if the first JPEG did not fit.
    int width = gdk_pixbuf_get_width(decoded.get());
    int height = gdk_pixbuf_get_height(decoded.get());
    EXPECT_TRUE(height == 600 || height == 450) << height;
    EXPECT_EQ(width * 3, height * 2);
}

TEST_F(ClipImagePrepareReal, CodecThumbnailsAreUprightAndWithinTheEdge) {
    struct Case {
        const char* type;
        std::uint8_t orientation;  // 0: none
        int uprightWidth, uprightHeight;
        ImageFileType fileType;
    };
    // JPEG decodes incrementally, TIFF only when the loader closes: two roads to a thumbnail.
    for (auto c : {Case{"jpeg", 6, 400, 600, ImageFileType::jpeg},
                   Case{"tiff", 0, 600, 400, ImageFileType::other}}) {
        SCOPED_TRACE(c.type);
        auto file = save(makePicture(600, 400).get(), c.type);
        if (c.orientation) {
            file = withExifOrientation(file, c.orientation);
        }
        auto source = codec.open(file);
        ASSERT_TRUE(source);
        EXPECT_EQ(source->type(), c.fileType);
        EXPECT_EQ(source->pixelWidth(), 600);
        EXPECT_EQ(source->pixelHeight(), 400);
        // Shrinking steps, then a size beyond the picture: never enlarged.
        for (int edge : {300, 150, 5000}) {
            SCOPED_TRACE(edge);
            auto thumbnail = source->thumbnail(edge);
            ASSERT_TRUE(thumbnail);
            double scale = std::min(1.0, double(edge) / 600);
            EXPECT_EQ(thumbnail->width(), int(c.uprightWidth * scale));
            EXPECT_EQ(thumbnail->height(), int(c.uprightHeight * scale));
        }
    }
}

TEST_F(ClipImagePrepareReal, TransparencyBecomesWhite) {
    auto file = save(makePicture(300, 300, true).get(), "png");
    auto prepared = ClipImage::prepare(file, 1, codec);
    EXPECT_FALSE(prepared);  // no JPEG is one byte
    prepared = ClipImage::prepare(file, 20 * 1024, codec);
    ASSERT_TRUE(prepared);
    auto decoded = load(prepared->data);
    ASSERT_TRUE(decoded);
    const guchar* p = gdk_pixbuf_get_pixels(decoded.get());
    EXPECT_GT(p[0], 245);
    EXPECT_GT(p[1], 245);
    EXPECT_GT(p[2], 245);
}

// The process's address space now, from /proc/self/status.
std::size_t addressSpaceBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmSize:") {
            std::size_t kilobytes = 0;
            status >> kilobytes;
            return kilobytes * 1024;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

// Limits the address space to `room` bytes beyond what the process maps now, then prepares the
// three crafted files; the number of wrong results.
[[maybe_unused]] int failuresWithinRoom(std::size_t room, const Bytes& png100, const Bytes& png120,
                                        const Bytes& tiff120) {
    const rlim_t limit = addressSpaceBytes() + room;
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
    GdkPixbufImageCodec codec;
    int failures = 0;
    const auto passed = ClipImage::prepare(png100, ClipImage::maxBytes, codec);
    failures += !(passed && passed->data == png100 && passed->format == ClipImageFormat::png);
    failures += ClipImage::prepare(png120, ClipImage::maxBytes, codec).has_value();
    failures += ClipImage::prepare(tiff120, ClipImage::maxBytes, codec).has_value();
    return failures;
}

// Crafted files of a few hundred kilobytes that claim 100 and 120 megapixels. Their pixels
// must never be allocated just to learn their size: a child process with no room for them
// still passes on the PNG within the limit untouched and refuses the larger pictures.
TEST(ClipImagePrepareCrafted, SizeIsReadWithoutRoomForThePixels) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer reserves more address space than the limit allows";
#else
    namespace crafted = test::CraftedImages;
    const Bytes png100 = crafted::flatPng(10000, 10000);
    const Bytes png120 = crafted::flatPng(12000, 10000);
    const Bytes tiff120 = crafted::flatTiff(12000, 10000);
    ASSERT_LT(png100.size(), 1u << 20);
    ASSERT_LT(tiff120.size(), 1u << 20);

    // 160 MB beyond what the process maps now: less than half of one such picture.
    EXPECT_EXIT(std::_Exit(failuresWithinRoom(std::size_t(160) << 20, png100, png120, tiff120)),
                ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace quelm
