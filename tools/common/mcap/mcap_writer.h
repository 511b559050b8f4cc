#pragma once

// Writes an MCAP file (format version 0, as MCAP readers expect it) as messages arrive: messages go
// into chunks, compressed with zstd where that makes them smaller, each chunk followed by one message index
// per channel in it; closing writes the Data End record with the data section's CRC, a summary section
// (schemas, channels, statistics with per-channel counts, chunk indexes), its summary offsets, and the footer
// with the summary's CRC, so that a reader finds any message from the end of the file without scanning.
//
// The file is only ever appended to, so whatever stops the writer (a kill, a full disk) leaves a prefix of
// the complete file: every chunk written before is whole and readable from the start; the chunk being
// filled (at most `chunkSize` bytes, or what came since the last CloseChunk) and the summary are lost.
//
// Move-only; not thread-safe. The per-message path copies each message once, into the chunk, and allocates
// nothing once the buffers have grown to a chunk's size.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ara/core/result.h"

namespace camera_tools::mcap {

enum class Compression {
    kNone,
    kZstd,
};

// The name a chunk record gives: "" or "zstd".
const char* CompressionName(Compression compression) noexcept;

struct WriterOptions {
    std::string profile;  // the header's profile, e.g. "ros2"
    std::string library;  // the header's library: who wrote the file
    Compression compression{Compression::kZstd};
    // A chunk is closed before its records would grow beyond this; a larger message gets a chunk of its own.
    std::size_t chunkSize{4U << 20U};
    int zstdLevel{1};
};

enum class McapErrc {
    kOpen,     // the file cannot be created
    kWrite,    // the file cannot be written
    kNoSpace,  // the file cannot be written: the disk is full
    kUsage,    // a channel or schema id the writer did not give out
};

// What failed, and a message that names the file.
struct McapError {
    McapErrc code;
    std::string message;
};

template <typename T>
using McapResult = ara::core::Result<T, McapError>;

struct MessageHeader {
    std::uint16_t channelId{0};
    std::uint32_t sequence{0};
    std::uint64_t logTimeNs{0};      // when it was recorded
    std::uint64_t publishTimeNs{0};  // when it was published
};

using Metadata = std::vector<std::pair<std::string, std::string>>;

class McapWriter {
  public:
    // Creates (or truncates) `path` and writes the magic and the header record. The error names the file.
    static McapResult<McapWriter> Create(const std::string& path, const WriterOptions& options);

    McapWriter(McapWriter&&) noexcept;
    McapWriter& operator=(McapWriter&&) noexcept;
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;
    // Closes the file as Close() does.
    ~McapWriter();

    // Ids from 1 in the order added. A schema and a channel reach the file with the channel's first message,
    // inside that message's chunk; those never used are not written at all.
    std::uint16_t AddSchema(std::string name, std::string encoding, std::string data);
    std::uint16_t AddChannel(std::uint16_t schemaId, std::string topic, std::string messageEncoding,
                             Metadata metadata = {});

    // Appends a message of `size` bytes on a channel from AddChannel. False when the writer has failed (see
    // LastError), is closed, or the channel is unknown.
    bool Write(const MessageHeader& header, const std::uint8_t* data, std::size_t size);
    // The same, with the message's bytes written in place by `fill(std::uint8_t* out)`, exactly `size` of
    // them: an encoder writes straight into the chunk.
    template <typename Fill>
    bool Write(const MessageHeader& header, std::size_t size, Fill&& fill) {
        std::uint8_t* out = BeginMessage(header, size);
        if (out == nullptr) {
            return false;
        }
        fill(out);
        return true;
    }

    // Writes the chunk being filled (and its message indexes), so that the file holds every message so far
    // in complete chunks. Nothing to do when the chunk is empty. False when the writer has failed.
    bool CloseChunk();

    // Writes the open chunk, the Data End record, the summary and the footer, and closes the file; later
    // calls only return the outcome. After a failure nothing more is written: the file keeps its complete
    // chunks and the outcome is false.
    bool Close();

    bool Failed() const noexcept;
    // The last failure, naming the file; the writer's state stays failed once it could not write.
    const McapError& LastError() const noexcept;
    // The system's error number of the failed write (ENOSPC: the disk is full), 0 when none.
    int LastErrno() const noexcept;

    const std::string& Path() const noexcept;
    std::uint64_t MessagesWritten() const noexcept;  // accepted into chunks, the open one included
    std::uint64_t ChunksWritten() const noexcept;
    std::uint64_t BytesWritten() const noexcept;  // on disk so far

  private:
    struct State;
    explicit McapWriter(std::unique_ptr<State> state);
    // Room for the message's bytes in the open chunk, its record header written; nullptr when it cannot go.
    std::uint8_t* BeginMessage(const MessageHeader& header, std::size_t size);

    std::unique_ptr<State> state_;
};

}  // namespace camera_tools::mcap
