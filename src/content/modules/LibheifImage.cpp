// The HEIF module: libheif behind the interface of content/HeifModule.h. Links
// libheif and Qt only.
#include "content/HeifModule.h"

#include <QtEndian>

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { heif_image_release(image); }
};

// What the header does not tell (the canvas of a grid or overlay, the size of a
// coded picture or tile) is held to the displayed size plus this margin (coding
// pads pictures to whole blocks; tiles are at most this large in practice), and
// never more than kMaxSide pixels a side.
constexpr qint64 kCodedMargin = 1024;
constexpr int kMaxSide = 16384;

// An EXIF block larger than this is not read (JPEG caps it at 64 KiB).
constexpr size_t kMaxExifBytes = 1024 * 1024;

void prepareLibheif() {
    // Initialised once for the process's life and never shut down: decoding may go
    // on in worker threads until the end.
    static std::once_flag once;
    std::call_once(once, [] {
        // A failure shows as images that do not decode.
        heif_init(nullptr);
    });
}

bool looksLikeHeif(const QByteArray& head) {
    if (head.size() < 12)
        return false;
    const heif_filetype_result type = heif_check_filetype(reinterpret_cast<const uint8_t*>(head.constData()),
                                                          int(qMin<qsizetype>(head.size(), 64)));
    return type == heif_filetype_yes_supported || type == heif_filetype_yes_unsupported;
}

QImage decode(const QByteArray& data, qint64 maxPixels) {
    if (data.size() < 12)
        return QImage();
    prepareLibheif();
    std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (!context)
        return QImage();
    // libheif refuses sides of at least this limit, in the header as when decoding.
    heif_context_set_maximum_image_size_limit(context.get(), kMaxSide + 1);
    // Tiles are decoded one after the other on this thread: one tile in memory at once.
    heif_context_set_max_decoding_threads(context.get(), 0);
    heif_error error = heif_context_read_from_memory_without_copy(context.get(), data.constData(),
                                                                  size_t(data.size()), nullptr);
    if (error.code != heif_error_Ok)
        return QImage();
    heif_image_handle* rawHandle = nullptr;
    error = heif_context_get_primary_image_handle(context.get(), &rawHandle);
    std::unique_ptr<heif_image_handle, HandleDeleter> handle(rawHandle);
    if (error.code != heif_error_Ok || !handle)
        return QImage();

    // The budget applies to the stored size and to the displayed one (a rotation
    // swaps them, a crop makes the second smaller).
    const qint64 storedWidth = heif_image_handle_get_ispe_width(handle.get());
    const qint64 storedHeight = heif_image_handle_get_ispe_height(handle.get());
    const qint64 width = heif_image_handle_get_width(handle.get());
    const qint64 height = heif_image_handle_get_height(handle.get());
    if (width <= 0 || height <= 0)
        return QImage();
    if (width * height > maxPixels || storedWidth * storedHeight > maxPixels)
        return QImage();

    const qint64 claimedSide = std::max({width, height, storedWidth, storedHeight});
    heif_context_set_maximum_image_size_limit(
        context.get(), int(std::min<qint64>(claimedSide + kCodedMargin, kMaxSide + 1)));

    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    const heif_chroma chroma = alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
    heif_image* rawImage = nullptr;
    // Default options: the image's transformations are applied, and only once; its
    // EXIF orientation, which describes the same turn, is left alone.
    error = heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, chroma, nullptr);
    std::unique_ptr<heif_image, ImageDeleter> image(rawImage);
    if (error.code != heif_error_Ok || !image)
        return QImage();

    const int decodedWidth = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int decodedHeight = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (decodedWidth <= 0 || decodedHeight <= 0 || qint64(decodedWidth) * decodedHeight > maxPixels)
        return QImage();
    if (heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8)
        return QImage();
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int bytesPerPixel = alpha ? 4 : 3;
    if (!plane || stride < decodedWidth * bytesPerPixel)
        return QImage();

    QImage result(decodedWidth, decodedHeight, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (result.isNull())
        return QImage();
    const size_t rowBytes = size_t(decodedWidth) * bytesPerPixel;
    for (int y = 0; y < decodedHeight; ++y)
        std::memcpy(result.scanLine(y), plane + qint64(y) * stride, rowBytes);
    return result;
}

QByteArray exifBlock(const QByteArray& data) {
    if (data.size() < 12)
        return QByteArray();
    prepareLibheif();
    std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (!context)
        return QByteArray();
    heif_context_set_maximum_image_size_limit(context.get(), kMaxSide + 1);
    if (heif_context_read_from_memory_without_copy(context.get(), data.constData(), size_t(data.size()),
                                                   nullptr)
            .code != heif_error_Ok)
        return QByteArray();
    heif_image_handle* rawHandle = nullptr;
    const heif_error error = heif_context_get_primary_image_handle(context.get(), &rawHandle);
    std::unique_ptr<heif_image_handle, HandleDeleter> handle(rawHandle);
    if (error.code != heif_error_Ok || !handle)
        return QByteArray();
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) < 1)
        return QByteArray();
    // The block begins with the offset of the TIFF header after these four bytes.
    const size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
    if (size < 4 + 8 || size > kMaxExifBytes)
        return QByteArray();
    QByteArray block(qsizetype(size), Qt::Uninitialized);
    if (heif_image_handle_get_metadata(handle.get(), id, block.data()).code != heif_error_Ok)
        return QByteArray();
    const quint32 offset = qFromBigEndian<quint32>(block.constData());
    if (offset > size - 4 - 8)
        return QByteArray();
    return block.mid(qsizetype(4 + offset));
}

class LibheifModule final : public HeifModule {
public:
    bool looksLikeHeif(const QByteArray& head) override { return ::looksLikeHeif(head); }
    QImage decode(const QByteArray& data, qint64 maxPixels) override { return ::decode(data, maxPixels); }
    QByteArray exifBlock(const QByteArray& data) override { return ::exifBlock(data); }
};

} // namespace

extern "C" Q_DECL_EXPORT void* ombrix_module_heif() {
    static LibheifModule module;
    return &module;
}
