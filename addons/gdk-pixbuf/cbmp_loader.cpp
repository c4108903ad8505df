// GdkPixbuf loader module for CBMP images.
//
// The module gathers the CBMP file, decompresses it in memory with the core library and feeds the
// BMP file that comes out to GdkPixbuf's own BMP loader, whose signals it passes on to the
// application's loader. So every layout that the BMP loader reads (colour tables, bit fields,
// RLE, V4/V5 headers with alpha) opens from a CBMP as well, pixel for pixel.
//
// Bounds (addons/common/cbmp_viewer_limits.h): the header decides before anything is decoded. An
// image of more pixels than the viewers' limit is refused; only the 60 header bytes and the
// stream that the header announces are kept, whatever follows them is dropped as it arrives; an
// application that asks only for the size gets it from the header, and nothing is decoded.
// Peak memory while loading: the CBMP file, then the decompressed BMP file (the CBMP buffer is
// released before the BMP loader runs) and the pixbuf that the BMP loader fills.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "addons/common/cbmp_viewer_limits.h"
#include "core/cbmpcore.h"

namespace {

constexpr std::size_t kHeaderSize = CBMP_HEADER_SIZE;
constexpr std::size_t kFirstCapacity = 64 * 1024;
constexpr std::size_t kLargestReservation = std::size_t{512} * 1024 * 1024;

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
struct CoreFreeDeleter {
    void operator()(std::uint8_t* p) const { cbmpcore_free(p); }
};
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

// The CBMP file as it arrives, grown without aborting the process when memory runs out.
class ByteBuffer {
  public:
    const std::uint8_t* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }

    bool reserve(std::size_t capacity) {
        if (capacity <= capacity_) {
            return true;
        }
        void* grown = g_try_realloc(bytes_.get(), capacity);
        if (grown == nullptr) {
            return false;
        }
        static_cast<void>(bytes_.release());
        bytes_.reset(static_cast<std::uint8_t*>(grown));
        capacity_ = capacity;
        return true;
    }

    bool append(const guchar* bytes, std::size_t count) {
        if (count == 0) {
            return true;
        }
        if (count > capacity_ - size_) {
            if (count > SIZE_MAX - size_) {
                return false;
            }
            std::size_t wanted = size_ + count;
            std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
            std::size_t capacity = wanted > doubled ? wanted : doubled;
            if (capacity < kFirstCapacity) {
                capacity = kFirstCapacity;
            }
            if (!reserve(capacity) && !reserve(wanted)) {
                return false;
            }
        }
        std::memcpy(bytes_.get() + size_, bytes, count);
        size_ += count;
        return true;
    }

    void release() {
        bytes_.reset();
        size_ = 0;
        capacity_ = 0;
    }

  private:
    std::unique_ptr<std::uint8_t, GFreeDeleter> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct LoadContext {
    GdkPixbufModuleSizeFunc size_func = nullptr;
    GdkPixbufModulePreparedFunc prepared_func = nullptr;
    GdkPixbufModuleUpdatedFunc updated_func = nullptr;
    gpointer user_data = nullptr;

    ByteBuffer cbmp;
    bool header_read = false;
    // Bytes of the whole file by its header, once it is read; later bytes are dropped.
    std::uint64_t file_size = kHeaderSize;
    // The application's size was asked from the CBMP header, before any decoding.
    bool size_announced = false;
    // The application only wanted the size (it answered 0 x 0): the rest of the file is ignored.
    bool size_only = false;
};

void set_core_error(GError** error, cbmpcore_result result) {
    int code = result == CBMPCORE_ERROR_NO_MEMORY ? GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY
                                                  : GDK_PIXBUF_ERROR_CORRUPT_IMAGE;
    g_set_error(error, GDK_PIXBUF_ERROR, code, "Cannot read CBMP image: %s",
                cbmpcore_result_text(result));
}

// Reads the header once its 60 bytes are here: rejects what is not a CBMP file, or an image beyond
// the pixel limit, at once; makes room for the whole file and tells the application the image's
// size, as the BMP loader will read it from the same info header.
gboolean on_header(LoadContext& ctx, GError** error) {
    cbmpcore_info info{};
    cbmpcore_result result = cbmpcore_read_info(ctx.cbmp.data(), ctx.cbmp.size(), &info);
    if (result != CBMPCORE_OK) {
        set_core_error(error, result);
        return FALSE;
    }
    std::uint32_t image_width = 0;
    std::uint32_t image_height = 0;
    cbmp_viewer_dimensions(&info, &image_width, &image_height);
    if (!cbmp_viewer_size_allowed(&info)) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                    "CBMP image of %u x %u pixels: not between 1 and %" G_GUINT64_FORMAT " pixels",
                    image_width, image_height, static_cast<guint64>(CBMP_VIEWER_MAX_PIXELS));
        return FALSE;
    }
    ctx.header_read = true;
    ctx.file_size = cbmp_viewer_file_size(&info);
    // Only a hint, for sizes a real image may have: otherwise, or when memory for the stated size
    // cannot be had, the buffer grows as the data comes.
    if (info.compressed_size <= kLargestReservation) {
        static_cast<void>(ctx.cbmp.reserve(kHeaderSize + info.compressed_size));
    }
    // Within the limit, both fit an int.
    if (ctx.size_func != nullptr) {
        int width = static_cast<int>(image_width);
        int height = static_cast<int>(image_height);
        ctx.size_func(&width, &height, ctx.user_data);
        ctx.size_announced = true;
        if (width == 0 || height == 0) {
            ctx.size_only = true;
            ctx.cbmp.release();
        }
    }
    return TRUE;
}

gpointer begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                    GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError** error) {
    auto* ctx = new (std::nothrow) LoadContext;
    if (ctx == nullptr) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                            "Not enough memory to load CBMP image");
        return nullptr;
    }
    ctx->size_func = size_func;
    ctx->prepared_func = prepared_func;
    ctx->updated_func = updated_func;
    ctx->user_data = user_data;
    return ctx;
}

gboolean load_increment(gpointer context, const guchar* buf, guint size, GError** error) {
    auto& ctx = *static_cast<LoadContext*>(context);
    while (size > 0 && !ctx.size_only) {
        // The header alone first, then the stream it announces; nothing past that is kept.
        const std::uint64_t end = ctx.header_read ? ctx.file_size : kHeaderSize;
        if (ctx.cbmp.size() >= end) {
            return TRUE;
        }
        const auto piece = static_cast<guint>(std::min<std::uint64_t>(size, end - ctx.cbmp.size()));
        if (!ctx.cbmp.append(buf, piece)) {
            g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                                "Not enough memory to load CBMP image");
            return FALSE;
        }
        buf += piece;
        size -= piece;
        if (!ctx.header_read && ctx.cbmp.size() == kHeaderSize && !on_header(ctx, error)) {
            return FALSE;
        }
    }
    return TRUE;
}

// The BMP loader's signals, passed on to the application's loader.
void on_size_prepared(GdkPixbufLoader* inner, int width, int height, gpointer context) {
    auto& ctx = *static_cast<LoadContext*>(context);
    if (ctx.size_announced || ctx.size_func == nullptr) {
        return;
    }
    ctx.size_announced = true;
    ctx.size_func(&width, &height, ctx.user_data);
    if (width == 0 || height == 0) {
        gdk_pixbuf_loader_set_size(inner, 0, 0);
    }
}

void on_area_prepared(GdkPixbufLoader* inner, gpointer context) {
    auto& ctx = *static_cast<LoadContext*>(context);
    if (ctx.prepared_func != nullptr) {
        ctx.prepared_func(gdk_pixbuf_loader_get_pixbuf(inner), nullptr, ctx.user_data);
    }
}

void on_area_updated(GdkPixbufLoader* inner, int x, int y, int width, int height,
                     gpointer context) {
    auto& ctx = *static_cast<LoadContext*>(context);
    if (ctx.updated_func != nullptr) {
        ctx.updated_func(gdk_pixbuf_loader_get_pixbuf(inner), x, y, width, height, ctx.user_data);
    }
}

// Hands the BMP file to GdkPixbuf's BMP loader.
gboolean load_bmp(LoadContext& ctx, const std::uint8_t* bmp, std::size_t bmp_size, GError** error) {
    std::unique_ptr<GdkPixbufLoader, ObjectUnref> inner(
        gdk_pixbuf_loader_new_with_type("bmp", error));
    if (!inner) {
        return FALSE;
    }
    g_signal_connect(inner.get(), "size-prepared", G_CALLBACK(on_size_prepared), &ctx);
    g_signal_connect(inner.get(), "area-prepared", G_CALLBACK(on_area_prepared), &ctx);
    g_signal_connect(inner.get(), "area-updated", G_CALLBACK(on_area_updated), &ctx);
    // The loader is closed on every path: it complains when it is finalised open.
    gboolean written = gdk_pixbuf_loader_write(inner.get(), bmp, bmp_size, error);
    gboolean closed = gdk_pixbuf_loader_close(inner.get(), written ? error : nullptr);
    if (!written || !closed) {
        return FALSE;
    }
    if (gdk_pixbuf_loader_get_pixbuf(inner.get()) == nullptr) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                            "The bitmap inside the CBMP image gave no picture");
        return FALSE;
    }
    return TRUE;
}

gboolean stop_load(gpointer context, GError** error) {
    std::unique_ptr<LoadContext> ctx(static_cast<LoadContext*>(context));
    if (ctx->size_only) {
        return TRUE;
    }
    std::uint8_t* bmp = nullptr;
    std::size_t bmp_size = 0;
    cbmpcore_result result =
        cbmpcore_decompress(ctx->cbmp.data(), ctx->cbmp.size(), &bmp, &bmp_size, nullptr);
    ctx->cbmp.release();
    if (result != CBMPCORE_OK) {
        set_core_error(error, result);
        return FALSE;
    }
    std::unique_ptr<std::uint8_t, CoreFreeDeleter> owned(bmp);
    return load_bmp(*ctx, owned.get(), bmp_size, error);
}

// Saving: GdkPixbuf's BMP writer makes the bitmap, the core compresses it.
gboolean save_to_callback(GdkPixbufSaveFunc save_func, gpointer user_data, GdkPixbuf* pixbuf,
                          gchar** /*option_keys*/, gchar** /*option_values*/, GError** error) {
    gchar* bmp = nullptr;
    gsize bmp_size = 0;
    if (!gdk_pixbuf_save_to_buffer(pixbuf, &bmp, &bmp_size, "bmp", error, nullptr)) {
        return FALSE;
    }
    std::unique_ptr<gchar, GFreeDeleter> owned_bmp(bmp);
    std::uint8_t* cbmp = nullptr;
    std::size_t cbmp_size = 0;
    cbmpcore_result result =
        cbmpcore_compress(reinterpret_cast<const std::uint8_t*>(owned_bmp.get()), bmp_size, &cbmp,
                          &cbmp_size, nullptr);
    if (result != CBMPCORE_OK) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Cannot write CBMP image: %s",
                    cbmpcore_result_text(result));
        return FALSE;
    }
    owned_bmp.reset();
    std::unique_ptr<std::uint8_t, CoreFreeDeleter> owned_cbmp(cbmp);
    return save_func(reinterpret_cast<const gchar*>(owned_cbmp.get()), cbmp_size, error, user_data);
}

gboolean save_to_file(FILE* file, GdkPixbuf* pixbuf, gchar** keys, gchar** values, GError** error) {
    auto write_to_file = [](const gchar* data, gsize count, GError** write_error,
                            gpointer target) -> gboolean {
        if (fwrite(data, 1, count, static_cast<FILE*>(target)) != count) {
            g_set_error_literal(write_error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED,
                                "Cannot write CBMP image to the file");
            return FALSE;
        }
        return TRUE;
    };
    return save_to_callback(write_to_file, file, pixbuf, keys, values, error);
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module);
G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info);

void fill_vtable(GdkPixbufModule* module) {
    module->begin_load = begin_load;
    module->stop_load = stop_load;
    module->load_increment = load_increment;
    module->save = save_to_file;
    module->save_to_callback = save_to_callback;
}

void fill_info(GdkPixbufFormat* info) {
    static GdkPixbufModulePattern signature[] = {
        {const_cast<char*>("CBMP"), nullptr, 100},
        {nullptr, nullptr, 0},
    };
    static const gchar* mime_types[] = {"image/x-cbmp", nullptr};
    static const gchar* extensions[] = {"cbmp", nullptr};

    info->name = const_cast<gchar*>("cbmp");
    info->signature = signature;
    info->description = const_cast<gchar*>("CBMP compressed bitmap");
    info->mime_types = const_cast<gchar**>(mime_types);
    info->extensions = const_cast<gchar**>(extensions);
    info->flags = GDK_PIXBUF_FORMAT_WRITABLE | GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = nullptr;
}

}  // extern "C"
