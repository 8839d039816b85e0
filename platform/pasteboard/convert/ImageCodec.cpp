#include "platform/pasteboard/convert/ImageCodec.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace vl {

std::string_view description(ImageFileType type) {
    switch (type) {
        case ImageFileType::png:
            return "PNG";
        case ImageFileType::jpeg:
            return "JPEG";
        case ImageFileType::tiff:
            return "TIFF";
    }
    return "unknown";
}

namespace {

bool sizeAcceptable(std::int64_t width, std::int64_t height,
                    std::int64_t pixelLimit = ImageCodec::maxPixels) {
    return width > 0 && height > 0 && width * height <= std::min(pixelLimit, ImageCodec::maxPixels);
}

bool bitmapValid(const Bitmap& bitmap) {
    return sizeAcceptable(bitmap.width, bitmap.height) &&
           bitmap.rgba.size() == static_cast<std::size_t>(bitmap.width) * bitmap.height * 4;
}

// MARK: PNG (libpng's simplified API reports errors by return value, no long jumps)

std::optional<Bitmap> decodePng(ByteView file, std::int64_t pixelLimit) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return std::nullopt;
    if (!sizeAcceptable(image.width, image.height, pixelLimit)) {
        png_image_free(&image);
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGBA;
    Bitmap bitmap{static_cast<int>(image.width), static_cast<int>(image.height), {}};
    bitmap.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, bitmap.rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return bitmap;
}

std::optional<Bytes> encodePng(const Bitmap& bitmap) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(bitmap.width);
    image.height = static_cast<png_uint_32>(bitmap.height);
    image.format = PNG_FORMAT_RGBA;
    // Written on the main queue while the user waits to paste: speed over the last few percent.
    image.flags = PNG_IMAGE_FLAG_FAST;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, bitmap.rgba.data(), 0, nullptr))
        return std::nullopt;
    Bytes out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, bitmap.rgba.data(), 0, nullptr))
        return std::nullopt;
    out.resize(size);
    return out;
}

// MARK: JPEG (libjpeg reports fatal errors by longjmp; the frames it jumps over hold nothing that
// needs a destructor)

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpegFail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

// Warnings (a truncated or corrupt stream that libjpeg would pad with grey) fail too.
void jpegWarning(j_common_ptr info, int level) {
    if (level < 0) std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

jpeg_error_mgr* jpegErrors(JpegError& error) {
    jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFail;
    error.manager.emit_message = jpegWarning;
    return &error.manager;
}

// Fills `out` (already sized by the caller after the header) or answers false.
bool jpegDecodeInto(ByteView file, Bitmap& out, Bytes& row) {
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpegErrors(error);
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK ||
        !sizeAcceptable(info.image_width, info.image_height)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    out.width = static_cast<int>(info.output_width);
    out.height = static_cast<int>(info.output_height);
    // Sized before any further call that can jump, so no allocation is lost on a jump.
    if (out.rgba.size() < static_cast<std::size_t>(out.width) * out.height * 4 ||
        row.size() < static_cast<std::size_t>(out.width) * 3) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        const auto y = info.output_scanline;
        jpeg_read_scanlines(&info, rows, 1);
        std::uint8_t* target = out.rgba.data() + static_cast<std::size_t>(y) * out.width * 4;
        for (int x = 0; x < out.width; ++x) {
            target[x * 4] = row[x * 3];
            target[x * 4 + 1] = row[x * 3 + 1];
            target[x * 4 + 2] = row[x * 3 + 2];
            target[x * 4 + 3] = 255;
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

// The image's size from its header, without decoding it.
std::optional<std::pair<int, int>> jpegSize(ByteView file, std::int64_t pixelLimit) {
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpegErrors(error);
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return std::nullopt;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&info, TRUE);
    const int width = static_cast<int>(info.image_width);
    const int height = static_cast<int>(info.image_height);
    jpeg_destroy_decompress(&info);
    if (!sizeAcceptable(width, height, pixelLimit)) return std::nullopt;
    return std::pair(width, height);
}

std::optional<Bitmap> decodeJpeg(ByteView file, std::int64_t pixelLimit) {
    auto size = jpegSize(file, pixelLimit);
    if (!size) return std::nullopt;
    Bitmap bitmap{size->first, size->second, {}};
    bitmap.rgba.resize(static_cast<std::size_t>(bitmap.width) * bitmap.height * 4);
    Bytes row(static_cast<std::size_t>(bitmap.width) * 3);
    if (!jpegDecodeInto(file, bitmap, row)) return std::nullopt;
    return bitmap;
}

bool jpegEncodeInto(const Bitmap& bitmap, int quality, const Bytes& rgb, unsigned char** buffer,
                    unsigned long* size) {
    jpeg_compress_struct info;
    JpegError error;
    info.err = jpegErrors(error);
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, buffer, size);
    info.image_width = static_cast<JDIMENSION>(bitmap.width);
    info.image_height = static_cast<JDIMENSION>(bitmap.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW rows[1] = {const_cast<std::uint8_t*>(rgb.data()) +
                            static_cast<std::size_t>(info.next_scanline) * bitmap.width * 3};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

std::optional<Bytes> encodeJpeg(const Bitmap& bitmap, double quality) {
    if (bitmap.width > ImageCodec::jpegMaxSide || bitmap.height > ImageCodec::jpegMaxSide)
        return std::nullopt;
    Bytes rgb(static_cast<std::size_t>(bitmap.width) * bitmap.height * 3);
    for (std::size_t i = 0, n = rgb.size() / 3; i < n; ++i) {
        const unsigned alpha = bitmap.rgba[i * 4 + 3];
        for (int c = 0; c < 3; ++c)
            rgb[i * 3 + c] = static_cast<std::uint8_t>(
                (bitmap.rgba[i * 4 + c] * alpha + 255 * (255 - alpha) + 127) / 255);
    }
    const int percent = static_cast<int>(std::clamp(quality, 0.0, 1.0) * 100.0 + 0.5);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const bool done = jpegEncodeInto(bitmap, std::max(percent, 1), rgb, &buffer, &size);
    std::optional<Bytes> out;
    if (done && buffer) out = Bytes(buffer, buffer + size);
    std::free(buffer);
    return out;
}

// MARK: TIFF (read and written in memory through libtiff's client I/O)

struct TiffMemory {
    Bytes data;
    std::size_t position = 0;
};

tsize_t tiffRead(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* memory = static_cast<TiffMemory*>(handle);
    if (memory->position >= memory->data.size()) return 0;
    const auto count = std::min<std::size_t>(static_cast<std::size_t>(size),
                                             memory->data.size() - memory->position);
    std::memcpy(buffer, memory->data.data() + memory->position, count);
    memory->position += count;
    return static_cast<tsize_t>(count);
}

tsize_t tiffWrite(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* memory = static_cast<TiffMemory*>(handle);
    const auto end = memory->position + static_cast<std::size_t>(size);
    if (end > memory->data.size()) memory->data.resize(end);
    std::memcpy(memory->data.data() + memory->position, buffer, static_cast<std::size_t>(size));
    memory->position = end;
    return size;
}

toff_t tiffSeek(thandle_t handle, toff_t offset, int whence) {
    auto* memory = static_cast<TiffMemory*>(handle);
    std::int64_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<std::int64_t>(memory->position);
    if (whence == SEEK_END) base = static_cast<std::int64_t>(memory->data.size());
    const std::int64_t target = base + static_cast<std::int64_t>(offset);
    if (target < 0 || target > (std::int64_t{1} << 40)) return static_cast<toff_t>(-1);
    memory->position = static_cast<std::size_t>(target);
    return static_cast<toff_t>(target);
}

int tiffClose(thandle_t) {
    return 0;
}
toff_t tiffSize(thandle_t handle) {
    return static_cast<TiffMemory*>(handle)->data.size();
}
int tiffMap(thandle_t, tdata_t*, toff_t*) {
    return 0;
}
void tiffUnmap(thandle_t, tdata_t, toff_t) {}

void silenceTiff() {
    static const bool silenced = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)silenced;
}

TIFF* openTiff(TiffMemory& memory, const char* mode) {
    silenceTiff();
    return TIFFClientOpen("clipboard", mode, &memory, tiffRead, tiffWrite, tiffSeek, tiffClose,
                          tiffSize, tiffMap, tiffUnmap);
}

std::optional<Bitmap> decodeTiff(ByteView file, std::int64_t pixelLimit) {
    TiffMemory memory{Bytes(file.begin(), file.end()), 0};
    TIFF* tiff = openTiff(memory, "rm");
    if (!tiff) return std::nullopt;
    std::uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    std::optional<Bitmap> result;
    if (sizeAcceptable(width, height, pixelLimit)) {
        std::vector<std::uint32_t> raster(static_cast<std::size_t>(width) * height);
        if (TIFFReadRGBAImageOriented(tiff, width, height, raster.data(), ORIENTATION_TOPLEFT, 0)) {
            Bitmap bitmap{static_cast<int>(width), static_cast<int>(height), {}};
            bitmap.rgba.resize(raster.size() * 4);
            for (std::size_t i = 0; i < raster.size(); ++i) {
                // libtiff answers premultiplied colours; the bitmap holds straight ones.
                const unsigned alpha = TIFFGetA(raster[i]);
                const unsigned channels[3] = {TIFFGetR(raster[i]), TIFFGetG(raster[i]),
                                              TIFFGetB(raster[i])};
                for (int c = 0; c < 3; ++c)
                    bitmap.rgba[i * 4 + c] = static_cast<std::uint8_t>(
                        alpha == 0 ? 0 : std::min(255u, (channels[c] * 255 + alpha / 2) / alpha));
                bitmap.rgba[i * 4 + 3] = static_cast<std::uint8_t>(alpha);
            }
            result = std::move(bitmap);
        }
    }
    TIFFClose(tiff);
    return result;
}

std::optional<Bytes> encodeTiff(const Bitmap& bitmap) {
    TiffMemory memory;
    TIFF* tiff = openTiff(memory, "w");
    if (!tiff) return std::nullopt;
    const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(bitmap.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(bitmap.height));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, extra);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    bool written = true;
    for (int y = 0; y < bitmap.height && written; ++y) {
        auto* row = const_cast<std::uint8_t*>(bitmap.rgba.data()) +
                    static_cast<std::size_t>(y) * bitmap.width * 4;
        written = TIFFWriteScanline(tiff, row, static_cast<std::uint32_t>(y), 0) == 1;
    }
    TIFFClose(tiff);
    if (!written) return std::nullopt;
    return std::move(memory.data);
}

}  // namespace

namespace ImageCodec {

std::optional<ImageFileType> sniff(ByteView file) {
    static constexpr std::uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (file.size() >= sizeof png && std::memcmp(file.data(), png, sizeof png) == 0)
        return ImageFileType::png;
    if (file.size() >= 3 && file[0] == 0xff && file[1] == 0xd8 && file[2] == 0xff)
        return ImageFileType::jpeg;
    if (file.size() >= 4 && ((file[0] == 'I' && file[1] == 'I' && file[2] == 42 && file[3] == 0) ||
                             (file[0] == 'M' && file[1] == 'M' && file[2] == 0 && file[3] == 42)))
        return ImageFileType::tiff;
    return std::nullopt;
}

std::optional<Bitmap> decode(ByteView file, std::int64_t pixelLimit) {
    switch (sniff(file).value_or(ImageFileType::png)) {
        case ImageFileType::png:
            return decodePng(file, pixelLimit);
        case ImageFileType::jpeg:
            return decodeJpeg(file, pixelLimit);
        case ImageFileType::tiff:
            return decodeTiff(file, pixelLimit);
    }
    return std::nullopt;
}

std::optional<Bytes> encode(const Bitmap& bitmap, ImageFileType type, double quality) {
    if (!bitmapValid(bitmap)) return std::nullopt;
    switch (type) {
        case ImageFileType::png:
            return encodePng(bitmap);
        case ImageFileType::jpeg:
            return encodeJpeg(bitmap, quality);
        case ImageFileType::tiff:
            return encodeTiff(bitmap);
    }
    return std::nullopt;
}

}  // namespace ImageCodec

}  // namespace vl
