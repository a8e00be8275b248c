#include "QuelmHostKit/linux/gtk/GdkPixbufImageCodec.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace quelm {

namespace {

// Owns one reference to a GObject.
template <class T>
class Ref {
  public:
    explicit Ref(T* object = nullptr) : object_(object) {}
    ~Ref() {
        if (object_) {
            g_object_unref(object_);
        }
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    T* object_;
};

class PixbufPicture final : public Picture {
  public:
    explicit PixbufPicture(Ref<GdkPixbuf> pixbuf) : pixbuf_(std::move(pixbuf)) {}
    int width() const override { return gdk_pixbuf_get_width(pixbuf_.get()); }
    int height() const override { return gdk_pixbuf_get_height(pixbuf_.get()); }
    GdkPixbuf* pixbuf() const { return pixbuf_.get(); }

  private:
    Ref<GdkPixbuf> pixbuf_;
};

// What a loader run learned, and the size it should decode at.
struct LoaderState {
    bool probe = false;  // only the header is wanted: no pixel is decoded
    int maxEdge = 0;     // longer side to decode at; 0: full size
    int width = 0;
    int height = 0;
    bool prepared = false;
};

bool tooLarge(int width, int height) {
    return std::int64_t(width) * height > GdkPixbufImageCodec::maxPixels;
}

void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    auto* state = static_cast<LoaderState*>(data);
    state->width = width;
    state->height = height;
    state->prepared = true;
    int longest = std::max(width, height);
    if (state->probe || tooLarge(width, height)) {
        // A size of zero makes the loaders stop here, before they allocate the picture (a
        // crafted file of a few hundred kilobytes may claim gigabytes of pixels).
        gdk_pixbuf_loader_set_size(loader, 0, 0);
    } else if (state->maxEdge > 0 && longest > state->maxEdge) {
        double scale = double(state->maxEdge) / longest;
        gdk_pixbuf_loader_set_size(loader, std::max(1, int(std::lround(width * scale))),
                                   std::max(1, int(std::lround(height * scale))));
    }
}

// Feeds the bytes to a new loader, then closes it. A probe stops as soon as the size is known
// and decodes nothing; it returns the loader when the size is known, whatever the loader then
// reported. A decode returns the loader only when the picture was read whole. Empty when the
// bytes are not a readable image or the picture is too large.
Ref<GdkPixbufLoader> runLoader(std::span<const std::uint8_t> data, LoaderState& state) {
    Ref<GdkPixbufLoader> loader(gdk_pixbuf_loader_new());
    g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(onSizePrepared), &state);
    // Small pieces let a probe stop right after the header.
    const std::size_t piece = state.probe ? 4096 : 64 * 1024;
    bool ok = true;
    std::size_t at = 0;
    while (at < data.size() && ok && !(state.probe && state.prepared)) {
        std::size_t n = std::min(piece, data.size() - at);
        ok = gdk_pixbuf_loader_write(loader.get(), data.data() + at, n, nullptr);
        at += n;
    }
    GError* error = nullptr;
    bool closed = gdk_pixbuf_loader_close(loader.get(), &error);
    g_clear_error(&error);
    if (!state.prepared || tooLarge(state.width, state.height)) {
        return Ref<GdkPixbufLoader>();
    }
    if (!state.probe && !(ok && closed)) {
        return Ref<GdkPixbufLoader>();
    }
    return loader;
}

Ref<GdkPixbuf> loaderPixbuf(GdkPixbufLoader* loader) {
    GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    return Ref<GdkPixbuf>(pixbuf ? GDK_PIXBUF(g_object_ref(pixbuf)) : nullptr);
}

Ref<GdkPixbuf> fitWithin(Ref<GdkPixbuf> pixbuf, int maxEdge) {
    int width = gdk_pixbuf_get_width(pixbuf.get());
    int height = gdk_pixbuf_get_height(pixbuf.get());
    int longest = std::max(width, height);
    if (longest <= maxEdge) {
        return pixbuf;
    }
    double scale = double(maxEdge) / longest;
    return Ref<GdkPixbuf>(gdk_pixbuf_scale_simple(
        pixbuf.get(), std::max(1, std::min(maxEdge, int(std::lround(width * scale)))),
        std::max(1, std::min(maxEdge, int(std::lround(height * scale)))), GDK_INTERP_BILINEAR));
}

class PixbufSource final : public ImageSource {
  public:
    PixbufSource(std::span<const std::uint8_t> data, ImageFileType type, int width, int height)
        : data_(data), type_(type), width_(width), height_(height) {}

    ImageFileType type() const override { return type_; }
    std::optional<int> pixelWidth() const override { return width_; }
    std::optional<int> pixelHeight() const override { return height_; }

    std::unique_ptr<Picture> thumbnail(int maxPixelSize) override {
        if (maxPixelSize < 1) {
            return nullptr;
        }
        // The preparation loop asks for ever smaller sizes: one decode serves them all.
        if (decodedEdge_ < maxPixelSize) {
            LoaderState state;
            state.maxEdge = maxPixelSize;
            auto loader = runLoader(data_, state);
            auto pixbuf = loader ? loaderPixbuf(loader.get()) : Ref<GdkPixbuf>();
            if (!pixbuf) {
                return nullptr;
            }
            decoded_ = std::move(pixbuf);
            decodedEdge_ = maxPixelSize;
        }
        Ref<GdkPixbuf> oriented(gdk_pixbuf_apply_embedded_orientation(decoded_.get()));
        if (!oriented) {
            return nullptr;
        }
        // The loader's scaling can round; the result must not exceed the edge asked for.
        auto fitted = fitWithin(std::move(oriented), maxPixelSize);
        if (!fitted) {
            return nullptr;
        }
        return std::make_unique<PixbufPicture>(std::move(fitted));
    }

  private:
    std::span<const std::uint8_t> data_;
    ImageFileType type_;
    int width_;
    int height_;
    Ref<GdkPixbuf> decoded_;
    int decodedEdge_ = 0;  // the longer side `decoded_` was decoded for
};

// Every pixel fully opaque: the JPEG saver then takes the colours as they are, without a
// flattened copy of the whole picture (loaders such as TIFF's always give an alpha channel).
bool opaque(const GdkPixbuf* pixbuf) {
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
    for (int y = 0; y < height; ++y) {
        const guint8* alpha = pixels + std::size_t(y) * rowstride + channels - 1;
        for (int x = 0; x < width; ++x, alpha += channels) {
            if (*alpha != 255) {
                return false;
            }
        }
    }
    return true;
}

ImageFileType fileType(GdkPixbufLoader* loader) {
    GdkPixbufFormat* format = gdk_pixbuf_loader_get_format(loader);
    if (!format) {
        return ImageFileType::other;
    }
    gchar* name = gdk_pixbuf_format_get_name(format);
    ImageFileType type = ImageFileType::other;
    if (name && std::strcmp(name, "png") == 0) {
        type = ImageFileType::png;
    } else if (name && std::strcmp(name, "jpeg") == 0) {
        type = ImageFileType::jpeg;
    }
    g_free(name);
    return type;
}

}  // namespace

std::unique_ptr<ImageSource> GdkPixbufImageCodec::open(std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return nullptr;
    }
    // The header alone: a picture within the limit is decoded only if a thumbnail is asked for
    // (PNG and JPEG within the byte limit travel as they are), and one beyond it never.
    LoaderState state;
    state.probe = true;
    auto loader = runLoader(data, state);
    if (!loader) {
        return nullptr;
    }
    return std::make_unique<PixbufSource>(data, fileType(loader.get()), state.width, state.height);
}

std::optional<Bytes> GdkPixbufImageCodec::encodeJPEG(const Picture& picture, double quality) {
    auto* source = dynamic_cast<const PixbufPicture*>(&picture);
    if (!source) {
        return std::nullopt;
    }
    GdkPixbuf* pixbuf = source->pixbuf();
    Ref<GdkPixbuf> flattened;
    if (gdk_pixbuf_get_has_alpha(pixbuf) && !opaque(pixbuf)) {
        // JPEG has no transparency: lay the picture over white, as a viewer would show it.
        int width = gdk_pixbuf_get_width(pixbuf);
        int height = gdk_pixbuf_get_height(pixbuf);
        flattened = Ref<GdkPixbuf>(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height));
        if (!flattened) {
            return std::nullopt;
        }
        gdk_pixbuf_fill(flattened.get(), 0xFFFFFFFFu);
        gdk_pixbuf_composite(pixbuf, flattened.get(), 0, 0, width, height, 0, 0, 1, 1,
                             GDK_INTERP_NEAREST, 255);
        pixbuf = flattened.get();
    }
    auto percent = std::to_string(std::clamp<long>(std::lround(quality * 100), 0, 100));
    gchar* buffer = nullptr;
    gsize size = 0;
    GError* error = nullptr;
    if (!gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", &error, "quality",
                                   percent.c_str(), nullptr)) {
        g_clear_error(&error);
        return std::nullopt;
    }
    Bytes out(reinterpret_cast<std::uint8_t*>(buffer),
              reinterpret_cast<std::uint8_t*>(buffer) + size);
    g_free(buffer);
    return out;
}

}  // namespace quelm
