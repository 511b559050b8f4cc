#include "contact_sheet.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace camera_record {
namespace {

constexpr unsigned char kBackground = 32;
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kLabelScale = 3;
constexpr int kLabelMargin = 8;
constexpr int kLabelPadding = 4;

struct Glyph {
    char character;
    std::array<std::uint8_t, kGlyphHeight> rows;  // bit 4 is the leftmost column
};

// Just the characters of the camera names.
constexpr std::array<Glyph, 14> kGlyphs{{
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1E, 0x01, 0x01, 0x0E, 0x01, 0x01, 0x1E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'c', {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E}},
    {'a', {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F}},
    {'m', {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}},
    {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
}};

const Glyph* FindGlyph(char character) {
    for (const Glyph& glyph : kGlyphs) {
        if (glyph.character == character) {
            return &glyph;
        }
    }
    return nullptr;
}

}  // namespace

RecordResult<ContactSheet> ContactSheet::Create(int cellWidth, int cellHeight) {
    using R = RecordResult<ContactSheet>;
    if (cellWidth < 16 || cellHeight < 16 || cellWidth % 2 != 0 || cellHeight % 2 != 0) {
        return R::FromError(
            {RecordErrc::kFormat, "contact sheet cells must be even and at least 16 x 16 pixels"});
    }
    ContactSheet sheet(cellWidth, cellHeight);
    sheet.sheet_.reset(av_frame_alloc());
    if (!sheet.sheet_) {
        return R::FromError({RecordErrc::kLibrary, "contact sheet cannot be allocated"});
    }
    AVFrame* frame = sheet.sheet_.get();
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = sheet.Width();
    frame->height = sheet.Height();
    if (av_frame_get_buffer(frame, 0) < 0) {
        return R::FromError({RecordErrc::kLibrary, "contact sheet cannot be allocated"});
    }
    sheet.FillRect(0, 0, sheet.Width(), sheet.Height(), kBackground);
    return R::FromValue(std::move(sheet));
}

void ContactSheet::FillRect(int x, int y, int width, int height, unsigned char value) {
    AVFrame* frame = sheet_.get();
    for (int row = y; row < y + height && row < frame->height; ++row) {
        std::memset(frame->data[0] + static_cast<std::ptrdiff_t>(row) * frame->linesize[0] + x * 3, value,
                    static_cast<std::size_t>(width) * 3U);
    }
}

bool ContactSheet::Place(int position, const AVFrame& picture) {
    if (position < 0 || position >= kCells || picture.width <= 0 || picture.height <= 0) {
        return false;
    }
    scaler_.reset(sws_getCachedContext(scaler_.release(), picture.width, picture.height,
                                       static_cast<AVPixelFormat>(picture.format), cellWidth_, cellHeight_,
                                       AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) {
        return false;
    }
    AVFrame* frame = sheet_.get();
    const int x = (position % kColumns) * cellWidth_;
    const int y = (position / kColumns) * cellHeight_;
    std::uint8_t* planes[4] = {frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0] + x * 3,
                               nullptr, nullptr, nullptr};
    const int strides[4] = {frame->linesize[0], 0, 0, 0};
    const int rows =
        sws_scale(scaler_.get(), picture.data, picture.linesize, 0, picture.height, planes, strides);
    return rows == cellHeight_;
}

void ContactSheet::Label(int position, const std::string& text) {
    if (position < 0 || position >= kCells || text.empty()) {
        return;
    }
    const int advance = (kGlyphWidth + 1) * kLabelScale;
    const int boxWidth = static_cast<int>(text.size()) * advance - kLabelScale + 2 * kLabelPadding;
    const int boxHeight = kGlyphHeight * kLabelScale + 2 * kLabelPadding;
    const int left = (position % kColumns) * cellWidth_ + kLabelMargin;
    const int top = (position / kColumns) * cellHeight_ + kLabelMargin;
    if (boxWidth + kLabelMargin > cellWidth_ || boxHeight + kLabelMargin > cellHeight_) {
        return;
    }
    FillRect(left, top, boxWidth, boxHeight, 0);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Glyph* glyph = FindGlyph(text[i]);
        if (glyph == nullptr) {
            continue;
        }
        const int glyphLeft = left + kLabelPadding + static_cast<int>(i) * advance;
        for (int row = 0; row < kGlyphHeight; ++row) {
            for (int column = 0; column < kGlyphWidth; ++column) {
                if ((glyph->rows[row] >> (kGlyphWidth - 1 - column) & 1U) != 0) {
                    FillRect(glyphLeft + column * kLabelScale, top + kLabelPadding + row * kLabelScale,
                             kLabelScale, kLabelScale, 255);
                }
            }
        }
    }
}

RecordResult<void> ContactSheet::WritePng(const std::string& path) const {
    using R = RecordResult<void>;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) {
        return R::FromError({RecordErrc::kLibrary, path + ": libavcodec has no PNG encoder"});
    }
    ffmpeg::CodecContextPtr encoder(avcodec_alloc_context3(codec));
    ffmpeg::PacketPtr packet(av_packet_alloc());
    if (!encoder || !packet) {
        return R::FromError({RecordErrc::kLibrary, path + ": PNG encoder cannot be allocated"});
    }
    encoder->width = Width();
    encoder->height = Height();
    encoder->pix_fmt = AV_PIX_FMT_RGB24;
    encoder->time_base = AVRational{1, 1};
    int result = avcodec_open2(encoder.get(), codec, nullptr);
    if (result >= 0) {
        result = avcodec_send_frame(encoder.get(), sheet_.get());
    }
    if (result >= 0) {
        result = avcodec_send_frame(encoder.get(), nullptr);
    }
    if (result >= 0) {
        result = avcodec_receive_packet(encoder.get(), packet.get());
    }
    if (result < 0) {
        return R::FromError(
            {RecordErrc::kLibrary, path + ": PNG cannot be encoded (" + ffmpeg::AvErrorText(result) + ")"});
    }
    errno = 0;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(packet->data), packet->size);
    file.close();
    if (!file) {
        // A cut picture would pass for a real one: none at all, and the reason.
        const int error = errno;
        std::remove(path.c_str());
        const bool full = error == ENOSPC || error == EDQUOT;
        return R::FromError({full ? RecordErrc::kNoSpace : RecordErrc::kWrite,
                             path + ": cannot be written" + (error == ENOSPC ? ": the disk is full" : "") +
                                 (error != 0 ? " (" + std::string(std::strerror(error)) + ")" : "")});
    }
    return R::FromValue();
}

}  // namespace camera_record
