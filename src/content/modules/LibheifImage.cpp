// The HEIF module: libheif behind the interface of content/HeifModule.h. Links
// libheif and Qt only.
#include "content/HeifModule.h"
#include "platform/ModuleExport.h"

#include <QHash>
#include <QList>
#include <QtEndian>

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

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

// ---- Coded sizes against declared ones -----------------------------------------
//
// libheif's size limit is one side for every picture of a file, so a stream that
// declares 16384 by 16384 passes behind a header of 16000 by 4000, and so does each
// tile of a grid behind the grid's own size. Every HEVC item's coded size (from the
// sequence parameter set in its hvcC property) is checked here against its own
// declared size (its ispe property) before anything is decoded.

// Reads big-endian fields; any read past the end makes it fail, and stay failed.
class ByteReader {
public:
    ByteReader(const QByteArray& data, qsizetype from, qsizetype to)
        : data_(data)
        , at_(from)
        , end_(std::min<qsizetype>(to, data.size())) {}
    quint64 number(int bytes) {
        if (!ok_ || bytes < 0 || at_ + bytes > end_) {
            ok_ = false;
            return 0;
        }
        quint64 value = 0;
        for (int i = 0; i < bytes; ++i)
            value = value << 8 | quint8(data_.at(at_ + i));
        at_ += bytes;
        return value;
    }
    void skip(qsizetype bytes) {
        if (bytes < 0 || at_ + bytes > end_)
            ok_ = false;
        else
            at_ += bytes;
    }
    bool ok() const { return ok_; }
    qsizetype at() const { return at_; }
    qsizetype end() const { return end_; }

private:
    const QByteArray& data_;
    qsizetype at_;
    qsizetype end_;
    bool ok_ = true;
};

struct Box {
    QByteArray type;
    qsizetype payload = 0; // where its contents begin
    qsizetype end = 0;
};

// The boxes between `from` and `to` (at most a few thousand).
QList<Box> boxesIn(const QByteArray& data, qsizetype from, qsizetype to) {
    QList<Box> boxes;
    ByteReader reader(data, from, to);
    while (reader.ok() && reader.at() + 8 <= reader.end() && boxes.size() < 4096) {
        const qsizetype start = reader.at();
        quint64 size = reader.number(4);
        Box box;
        box.type = data.mid(reader.at(), 4);
        reader.skip(4);
        if (size == 1)
            size = reader.number(8);
        else if (size == 0)
            size = quint64(reader.end() - start);
        box.payload = reader.at();
        if (!reader.ok() || size < quint64(box.payload - start) || size > quint64(reader.end() - start))
            break;
        box.end = start + qsizetype(size);
        boxes << box;
        reader.skip(box.end - reader.at());
    }
    return boxes;
}

const Box* find(const QList<Box>& boxes, const char* type) {
    for (const Box& box : boxes)
        if (box.type == type)
            return &box;
    return nullptr;
}

// Bits of a NAL unit's payload, emulation prevention bytes left out.
class BitReader {
public:
    explicit BitReader(const QByteArray& nal) {
        for (qsizetype i = 0; i < nal.size(); ++i) {
            if (i >= 2 && nal.at(i) == 3 && nal.at(i - 1) == 0 && nal.at(i - 2) == 0)
                continue;
            raw_.append(nal.at(i));
        }
    }
    quint32 bits(int count) {
        quint32 value = 0;
        while (count-- > 0) {
            if (position_ >= raw_.size() * 8) {
                ok_ = false;
                return 0;
            }
            value = value << 1 | ((quint8(raw_.at(position_ / 8)) >> (7 - position_ % 8)) & 1);
            ++position_;
        }
        return value;
    }
    quint32 exponentialGolomb() {
        int zeros = 0;
        while (ok_ && bits(1) == 0) {
            if (++zeros > 31) {
                ok_ = false;
                return 0;
            }
        }
        return quint32((1ull << zeros) - 1 + bits(zeros));
    }
    bool ok() const { return ok_; }

private:
    QByteArray raw_;
    qsizetype position_ = 0;
    bool ok_ = true;
};

// The coded picture size a sequence parameter set declares.
std::optional<std::pair<quint32, quint32>> spsSize(const QByteArray& sps) {
    BitReader reader(sps.mid(2)); // after the NAL unit header
    reader.bits(4);
    const int subLayers = int(reader.bits(3));
    reader.bits(1);
    reader.bits(32); // the general profile, tier and level: 96 bits
    reader.bits(32);
    reader.bits(32);
    QList<std::pair<bool, bool>> present;
    for (int i = 0; i < subLayers; ++i) {
        const bool profile = reader.bits(1);
        const bool level = reader.bits(1);
        present.append({profile, level});
    }
    if (subLayers > 0)
        reader.bits(2 * (8 - subLayers));
    for (const auto& [profile, level] : present) {
        if (profile) {
            reader.bits(32);
            reader.bits(32);
            reader.bits(24);
        }
        if (level)
            reader.bits(8);
    }
    reader.exponentialGolomb(); // sps_seq_parameter_set_id
    if (reader.exponentialGolomb() == 3)
        reader.bits(1);
    const quint32 width = reader.exponentialGolomb();
    const quint32 height = reader.exponentialGolomb();
    if (!reader.ok())
        return std::nullopt;
    return std::make_pair(width, height);
}

// The sequence parameter set of an hvcC box's contents.
QByteArray spsOf(const QByteArray& data, const Box& hvcC) {
    ByteReader reader(data, hvcC.payload, hvcC.end);
    reader.skip(22);
    const int arrays = int(reader.number(1));
    for (int array = 0; array < arrays && reader.ok(); ++array) {
        const int type = int(reader.number(1)) & 0x3f;
        const int units = int(reader.number(2));
        for (int unit = 0; unit < units && reader.ok(); ++unit) {
            const int length = int(reader.number(2));
            if (type == 33 && reader.ok() && reader.at() + length <= reader.end())
                return data.mid(reader.at(), length);
            reader.skip(length);
        }
    }
    return QByteArray();
}

// Whether every HEVC item's coded picture stays within its declared size plus the
// coding margin (false too when the boxes that say so cannot be read).
bool codedPicturesWithinDeclaredSizes(const QByteArray& data, qint64 margin) {
    const QList<Box> top = boxesIn(data, 0, data.size());
    const Box* meta = find(top, "meta");
    if (!meta)
        return false;
    const QList<Box> inMeta = boxesIn(data, meta->payload + 4, meta->end);
    const Box* iinf = find(inMeta, "iinf");
    const Box* iprp = find(inMeta, "iprp");
    if (!iinf || !iprp)
        return false;
    // The HEVC items.
    QList<quint32> hevcItems;
    {
        ByteReader reader(data, iinf->payload, iinf->end);
        const int version = int(reader.number(1));
        reader.skip(3);
        reader.skip(version == 0 ? 2 : 4);
        if (!reader.ok())
            return false;
        for (const Box& infe : boxesIn(data, reader.at(), iinf->end)) {
            if (infe.type != "infe")
                continue;
            ByteReader entry(data, infe.payload, infe.end);
            const int entryVersion = int(entry.number(1));
            entry.skip(3);
            if (entryVersion < 2)
                continue;
            const quint32 id = quint32(entry.number(entryVersion == 2 ? 2 : 4));
            entry.skip(2);
            if (entry.ok() && entry.at() + 4 <= entry.end() && data.mid(entry.at(), 4) == "hvc1")
                hevcItems << id;
        }
    }
    if (hevcItems.isEmpty())
        return true;
    const QList<Box> inIprp = boxesIn(data, iprp->payload, iprp->end);
    const Box* ipco = find(inIprp, "ipco");
    if (!ipco)
        return false;
    const QList<Box> properties = boxesIn(data, ipco->payload, ipco->end);
    // Each item's declared size and coded size.
    QHash<quint32, std::pair<qint64, qint64>> declared;
    QHash<quint32, std::pair<qint64, qint64>> coded;
    for (const Box& ipma : inIprp) {
        if (ipma.type != "ipma")
            continue;
        ByteReader reader(data, ipma.payload, ipma.end);
        const int version = int(reader.number(1));
        const quint32 flags = quint32(reader.number(3));
        const quint32 entries = quint32(reader.number(4));
        for (quint32 entry = 0; entry < entries && reader.ok(); ++entry) {
            const quint32 id = quint32(reader.number(version < 1 ? 2 : 4));
            const int associations = int(reader.number(1));
            for (int association = 0; association < associations && reader.ok(); ++association) {
                const int index = (flags & 1) ? int(reader.number(2) & 0x7fff) : int(reader.number(1) & 0x7f);
                if (index < 1 || index > properties.size())
                    continue;
                const Box& property = properties.at(index - 1);
                if (property.type == "ispe") {
                    ByteReader sizes(data, property.payload + 4, property.end);
                    const qint64 width = qint64(sizes.number(4));
                    const qint64 height = qint64(sizes.number(4));
                    if (sizes.ok())
                        declared.insert(id, {width, height});
                } else if (property.type == "hvcC") {
                    if (const auto size = spsSize(spsOf(data, property)))
                        coded.insert(id, {qint64(size->first), qint64(size->second)});
                    else
                        coded.insert(id, {-1, -1});
                }
            }
        }
    }
    for (const quint32 id : hevcItems) {
        if (!declared.contains(id) || !coded.contains(id))
            return false;
        const auto [width, height] = declared.value(id);
        const auto [codedWidth, codedHeight] = coded.value(id);
        if (codedWidth <= 0 || codedHeight <= 0 || codedWidth > width + margin ||
            codedHeight > height + margin)
            return false;
    }
    return true;
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

    // Every coded picture (the image's, or each tile's) within its own declared size.
    if (!codedPicturesWithinDeclaredSizes(data, kCodedMargin))
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

OMBRIX_MODULE_EXPORT(heif) {
    static LibheifModule module;
    return &module;
}
