#pragma once

// Video encoder (VENC) channels.
//
// A channel encodes NV12 frames of one size with one codec: payload type MPU_PAYLOAD_TYPE_H264 (96) or
// MPU_PAYLOAD_TYPE_H265 (265). Encoding is asynchronous: mpu_venc_send_frame queues the frame and returns;
// the frame is encoded by the channel's encoder thread, or by the thread that comes to wait for its stream
// first (in mpu_sys_wait_epoll or mpu_venc_get_stream), which reads its planes in place (keep them unchanged
// until its stream is out) and queues the stream. The channel's descriptor (mpu_venc_get_fd) is readable
// while at least one stream waits, so it can be watched with epoll. mpu_venc_get_stream hands out the oldest
// stream's packets in buffers owned by the channel; they stay valid until mpu_venc_release_stream.
//
// Streams are made for joining at any time: there are no B-frames, every key frame is an IDR frame and
// carries the stream headers (SPS and PPS, and VPS for H.265), and a frame's stream is ready as soon as the
// frame is encoded (zero latency).
// All calls are thread-safe.

#include <cstdint>

#include "mpu/mpu_common.h"

inline constexpr std::int32_t MPU_VENC_MAX_CHANNELS = 16;

enum mpu_payload_type : std::uint32_t {
    MPU_PAYLOAD_TYPE_H264 = 96,
    MPU_PAYLOAD_TYPE_H265 = 265,
};

// ---- Module parameters: process-wide settings per encoder module, read by channels when they are created.

enum mpu_venc_mod_type : std::uint32_t {
    MPU_VENC_MOD_H265 = 1,
    MPU_VENC_MOD_H264 = 2,
};

enum mpu_venc_speed_preset : std::uint32_t {
    MPU_VENC_PRESET_ULTRAFAST = 0,  // the default
    MPU_VENC_PRESET_SUPERFAST = 1,
    MPU_VENC_PRESET_VERYFAST = 2,
    MPU_VENC_PRESET_FASTER = 3,
    MPU_VENC_PRESET_FAST = 4,
    MPU_VENC_PRESET_MEDIUM = 5,
};

struct mpu_venc_codec_mod_param {
    // 1: all of a frame's NAL units in one packet; 0: one packet per NAL unit (the default).
    std::uint32_t one_stream_buffer;
    std::uint32_t speed_preset;  // mpu_venc_speed_preset
    std::uint32_t reserved[2];   // must be 0
};

struct mpu_venc_mod_param {
    std::uint32_t mod_type;  // mpu_venc_mod_type: which module the record is about
    mpu_venc_codec_mod_param codec;
};

// ---- Channel attributes

enum mpu_venc_profile : std::uint32_t {
    MPU_VENC_PROFILE_BASELINE = 0,  // H.264 Constrained Baseline; for H.265 the only profile, Main, is 0
    MPU_VENC_PROFILE_MAIN = 1,      // H.264 Main
    MPU_VENC_PROFILE_HIGH = 2,      // H.264 High
};

// Smallest picture width and height an encoder channel takes; sides are even and at most
// MPU_MAX_PICTURE_SIDE.
inline constexpr std::uint32_t MPU_VENC_MIN_PICTURE_SIDE = 16;
// Longest group of pictures (frames from one key frame to the next) a channel takes; 0 means one key frame
// at the start and none after it.
inline constexpr std::uint32_t MPU_VENC_MAX_GOP = 65536;

struct mpu_venc_attr {
    std::uint32_t type;            // mpu_payload_type
    std::uint32_t max_pic_width;   // >= pic_width
    std::uint32_t max_pic_height;  // >= pic_height
    std::uint32_t buf_size;        // bytes of the channel's stream buffer, >= pic_width x pic_height
    std::uint32_t profile;         // mpu_venc_profile
    std::uint32_t is_by_frame;     // 1: mpu_venc_get_stream hands out whole frames (the only mode)
    std::uint32_t pic_width;       // even, MPU_VENC_MIN_PICTURE_SIDE..MPU_MAX_PICTURE_SIDE
    std::uint32_t pic_height;      // even, MPU_VENC_MIN_PICTURE_SIDE..MPU_MAX_PICTURE_SIDE
};

// Rate-control modes, per codec.
enum mpu_venc_rc_mode : std::uint32_t {
    MPU_VENC_RC_H264_CBR = 1,
    MPU_VENC_RC_H264_VBR = 2,
    MPU_VENC_RC_H264_FIXQP = 3,
    MPU_VENC_RC_H265_CBR = 11,
    MPU_VENC_RC_H265_VBR = 12,
    MPU_VENC_RC_H265_FIXQP = 13,
};

struct mpu_venc_rc_attr {
    std::uint32_t rc_mode;         // mpu_venc_rc_mode of the channel's codec
    std::uint32_t gop;             // frames from one IDR frame to the next; 0: only the first frame is one
    std::uint32_t stat_time;       // seconds over which the bit rate is held (1..60)
    std::uint32_t src_frame_rate;  // frames per second sent (1..240)
    std::uint32_t dst_frame_rate;  // frames per second encoded (1..src); surplus frames are dropped evenly
    std::uint32_t bit_rate;        // kbit/s, CBR
    std::uint32_t max_bit_rate;    // kbit/s, VBR ceiling
    std::uint32_t max_qp;          // VBR quantiser range (0 and 0: the codec's own, 0..51)
    std::uint32_t min_qp;
    std::uint32_t i_qp;  // FIXQP quantisers, 0..51
    std::uint32_t p_qp;
};

enum mpu_venc_gop_mode : std::uint32_t {
    MPU_VENC_GOP_NORMAL_P = 0,  // I P P P ...: the only mode
};

struct mpu_venc_gop_attr {
    std::uint32_t gop_mode;    // mpu_venc_gop_mode
    std::int32_t ip_qp_delta;  // how much lower the I frames' quantiser is than the P frames' (0..10)
};

struct mpu_venc_chn_attr {
    mpu_venc_attr venc_attr;
    mpu_venc_rc_attr rc_attr;
    mpu_venc_gop_attr gop_attr;
};

struct mpu_venc_start_param {
    std::int32_t recv_pic_num;  // frames the channel accepts before it refuses more; -1: no limit
};

// ---- Frames

enum mpu_video_field : std::uint32_t {
    MPU_VIDEO_FIELD_FRAME = 4,  // progressive: the only kind accepted
};

enum mpu_color_gamut : std::uint32_t {
    MPU_COLOR_GAMUT_BT601 = 0,
    MPU_COLOR_GAMUT_BT709 = 1,
    MPU_COLOR_GAMUT_BT2020 = 2,
};

struct mpu_video_frame {
    std::uint32_t width;             // the channel's pic_width
    std::uint32_t height;            // the channel's pic_height
    std::uint32_t field;             // mpu_video_field
    std::uint32_t pixel_format;      // MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420
    std::uint32_t video_format;      // 0: linear layout (the only one)
    std::uint32_t compress_mode;     // 0: uncompressed (the only one)
    std::uint32_t dynamic_range;     // 0: SDR, 8 bits (the only one)
    std::uint32_t color_gamut;       // mpu_color_gamut; carried, not converted
    std::uint32_t width_stride[3];   // bytes per row of the luma and chroma planes (>= width; [2] unused)
    std::uint32_t height_stride[3];  // informative; the planes are found by their addresses
    std::uint64_t phys_addr[3];      // unused by the software encoder
    void* virt_addr[3];              // luma plane, interleaved chroma plane, unused
    std::uint32_t time_ref;          // caller's frame reference, handed back with the stream
    std::uint64_t pts;               // caller's time stamp (e.g. ns), handed back with the stream
};

struct mpu_video_frame_info {
    mpu_video_frame v_frame;
    std::uint32_t pool_id;
    std::uint32_t mod_id;
};

// ---- Streams

// One packet of an encoded frame. Its bytes are addr[offset] .. addr[len - 1] (H.264/H.265 Annex B, with
// start codes).
struct mpu_venc_pack {
    std::uint8_t* addr;
    std::uint32_t len;
    std::uint32_t offset;
    std::uint64_t pts;        // the frame's pts
    std::uint32_t frame_end;  // 1 on the frame's last packet
    std::uint32_t data_type;  // NAL unit type of the packet's first NAL unit
    std::uint32_t key_frame;  // 1 when the frame is an IDR frame
};

// A frame's stream. The caller supplies `pack` with room for `pack_count` packets (at least the status's
// cur_packs); mpu_venc_get_stream fills them and sets pack_count, seq and time_ref.
struct mpu_venc_stream {
    mpu_venc_pack* pack;
    std::uint32_t pack_count;
    std::uint32_t seq;       // stream number on this channel, from 0
    std::uint32_t time_ref;  // the frame's time_ref
};

struct mpu_venc_chn_status {
    std::uint32_t left_pics;           // frames sent and not yet encoded
    std::uint32_t left_stream_bytes;   // bytes of the streams waiting to be fetched
    std::uint32_t left_stream_frames;  // streams waiting to be fetched
    std::uint32_t cur_packs;           // packets of the next stream to be fetched (0: none waiting)
    std::int32_t left_recv_pics;       // frames the channel still accepts; -1: no limit
    std::uint32_t dropped_pics;        // frames dropped by the frame-rate control or a full stream buffer
};

extern "C" {

std::int32_t mpu_venc_get_mod_param(mpu_venc_mod_param* param);
std::int32_t mpu_venc_set_mod_param(const mpu_venc_mod_param* param);

// Creates channel `channel` (0..MPU_VENC_MAX_CHANNELS - 1). Needs mpu_sys_init.
std::int32_t mpu_venc_create_chn(std::int32_t channel, const mpu_venc_chn_attr* attr);
// Destroys a stopped channel whose streams have all been released.
std::int32_t mpu_venc_destroy_chn(std::int32_t channel);

std::int32_t mpu_venc_start_chn(std::int32_t channel, const mpu_venc_start_param* param);
// Stops accepting frames; frames already sent are still encoded.
std::int32_t mpu_venc_stop_chn(std::int32_t channel);

// The channel's descriptor (owned by the channel), or -1 when there is no such channel.
std::int32_t mpu_venc_get_fd(std::int32_t channel);

// Queues a frame of a started channel. Waits up to `timeoutMs` for room when the channel holds as many frames
// as it can queue.
std::int32_t mpu_venc_send_frame(std::int32_t channel, const mpu_video_frame_info* frame,
                                 std::int32_t timeoutMs);

std::int32_t mpu_venc_query_status(std::int32_t channel, mpu_venc_chn_status* status);

// Hands out the oldest waiting stream, waiting up to `timeoutMs` for one (MPU_ERR_BUF_EMPTY when none came).
std::int32_t mpu_venc_get_stream(std::int32_t channel, mpu_venc_stream* stream, std::int32_t timeoutMs);

// Gives a stream's buffers back to the channel. A stream is released once; a second release is refused.
std::int32_t mpu_venc_release_stream(std::int32_t channel, const mpu_venc_stream* stream);

}  // extern "C"
