#include "stream_format.h"

#include <algorithm>
#include <cstring>
#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/handles.h"

namespace camera_record {

RecordResult<StreamParameters> ProbeKeyFrame(const std::uint8_t* data, std::size_t size) {
    using R = RecordResult<StreamParameters>;
    StreamParameters parameters;
    parameters.codec = DetectCodec(data, size);
    if (parameters.codec == VideoCodec::kUnknown) {
        return R::FromError({RecordErrc::kFormat, "no H.264 or H.265 parameter sets in the frame"});
    }
    if (!IsRandomAccessPoint(parameters.codec, data, size)) {
        return R::FromError(
            {RecordErrc::kFormat, std::string("the ") + CodecName(parameters.codec) +
                                      " frame carries parameter sets but no IDR/IRAP picture"});
    }
    parameters.extradata = ParameterSets(parameters.codec, data, size);

    // The picture size is in the sequence parameter set; libavcodec's parser reads it for us.
    const AVCodecID id = parameters.codec == VideoCodec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
    ffmpeg::ParserContextPtr parser(av_parser_init(id));
    ffmpeg::CodecContextPtr context(avcodec_alloc_context3(nullptr));
    if (!parser || !context) {
        return R::FromError(
            {RecordErrc::kLibrary, std::string("no libavcodec parser for ") + CodecName(parameters.codec)});
    }
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    // The parser may read up to the padding size past the end.
    std::vector<std::uint8_t> padded(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), data, size);
    std::uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser.get(), context.get(), &out, &outSize, padded.data(), static_cast<int>(size),
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    parameters.width = parser->width;
    parameters.height = parser->height;
    if (parameters.width <= 0 || parameters.height <= 0) {
        return R::FromError({RecordErrc::kFormat, std::string("the ") + CodecName(parameters.codec) +
                                                      " parameter sets give no picture size"});
    }
    return R::FromValue(std::move(parameters));
}

}  // namespace camera_record
