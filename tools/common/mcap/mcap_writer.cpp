#include "mcap_writer.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "crc32.h"
#include "vcu/os/unique_fd.h"

namespace camera_tools::mcap {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : std::uint8_t {
    kHeader = 0x01,
    kFooter = 0x02,
    kSchema = 0x03,
    kChannel = 0x04,
    kMessage = 0x05,
    kChunk = 0x06,
    kMessageIndex = 0x07,
    kChunkIndex = 0x08,
    kStatistics = 0x0B,
    kSummaryOffset = 0x0E,
    kDataEnd = 0x0F,
};

// Opcode and content length in front of every record.
constexpr std::size_t kRecordPrefix = 1 + 8;
// A message record's fields before its data: channel, sequence, log time, publish time.
constexpr std::size_t kMessageFields = 2 + 4 + 8 + 8;
// Message index entries a channel starts with; they grow (rarely) and keep their room from chunk to chunk.
constexpr std::size_t kIndexEntriesReserved = 512;

// A growable byte buffer whose new bytes are not zeroed first: a message's room is written once, by its
// encoder. Keeps its capacity when cleared.
class ByteBuffer {
  public:
    std::uint8_t* Extend(std::size_t count) {
        Reserve(size_ + count);
        std::uint8_t* at = data_.get() + size_;
        size_ += count;
        return at;
    }
    void Reserve(std::size_t capacity) {
        if (capacity <= capacity_) {
            return;
        }
        const std::size_t grown = std::max(capacity, capacity_ * 2);
        std::unique_ptr<std::uint8_t[]> larger(new std::uint8_t[grown]);
        if (size_ > 0) {
            std::memcpy(larger.get(), data_.get(), size_);
        }
        data_ = std::move(larger);
        capacity_ = grown;
    }
    void Clear() noexcept { size_ = 0; }
    std::uint8_t* Data() noexcept { return data_.get(); }
    const std::uint8_t* Data() const noexcept { return data_.get(); }
    std::size_t Size() const noexcept { return size_; }

    template <typename T>
    void PutAt(std::size_t offset, T value) noexcept {
        auto bits = static_cast<std::uint64_t>(value);
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            data_[offset + i] = static_cast<std::uint8_t>(bits >> (8U * i));
        }
    }
    template <typename T>
    void Put(T value) {
        const std::size_t at = size_;
        Extend(sizeof(T));
        PutAt(at, value);
    }
    void PutBytes(const void* bytes, std::size_t count) {
        if (count > 0) {
            std::memcpy(Extend(count), bytes, count);
        }
    }
    void PutString(std::string_view text) {
        Put(static_cast<std::uint32_t>(text.size()));
        PutBytes(text.data(), text.size());
    }
    // Opens a record; EndRecord fills in its length.
    std::size_t BeginRecord(Opcode opcode) {
        Put(static_cast<std::uint8_t>(opcode));
        const std::size_t lengthAt = size_;
        Put(std::uint64_t{0});
        return lengthAt;
    }
    void EndRecord(std::size_t lengthAt) noexcept {
        PutAt(lengthAt, static_cast<std::uint64_t>(size_ - lengthAt - 8));
    }

  private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_{0};
    std::size_t capacity_{0};
};

struct ZstdContextDeleter {
    void operator()(ZSTD_CCtx* context) const noexcept { ZSTD_freeCCtx(context); }
};
using ZstdContext = std::unique_ptr<ZSTD_CCtx, ZstdContextDeleter>;

struct SchemaEntry {
    std::uint16_t id;
    std::string name;
    std::string encoding;
    std::string data;
    bool written{false};
};

struct IndexEntry {
    std::uint64_t logTimeNs;
    std::uint64_t offset;  // in the chunk's uncompressed records
};

struct ChannelEntry {
    std::uint16_t id;
    std::uint16_t schemaId;
    std::string topic;
    std::string messageEncoding;
    Metadata metadata;
    bool written{false};
    std::uint64_t messages{0};
    std::vector<IndexEntry> index{};  // this channel's messages in the open chunk
};

struct ChunkIndexEntry {
    std::uint64_t startNs;
    std::uint64_t endNs;
    std::uint64_t offset;
    std::uint64_t length;
    std::vector<std::pair<std::uint16_t, std::uint64_t>> indexOffsets;
    std::uint64_t indexLength;
    Compression compression;
    std::uint64_t compressedSize;
    std::uint64_t uncompressedSize;
};

// A time range that starts empty.
struct TimeRange {
    std::uint64_t startNs{0};
    std::uint64_t endNs{0};
    bool empty{true};
    void Add(std::uint64_t ns) noexcept {
        startNs = empty ? ns : std::min(startNs, ns);
        endNs = empty ? ns : std::max(endNs, ns);
        empty = false;
    }
};

}  // namespace

const char* CompressionName(Compression compression) noexcept {
    return compression == Compression::kZstd ? "zstd" : "";
}

struct McapWriter::State {
    std::string path;
    WriterOptions options;
    vcu::os::UniqueFd fd;
    ZstdContext zstd;
    std::uint64_t offset{0};  // bytes on disk
    Crc32 dataCrc;            // of everything before the Data End record, the leading magic included
    std::vector<SchemaEntry> schemas;
    std::vector<ChannelEntry> channels;
    ByteBuffer chunk;  // the open chunk's records, uncompressed
    TimeRange chunkTimes;
    ByteBuffer compressed;
    ByteBuffer scratch;  // record headers, message indexes, the summary
    ByteBuffer indexes;
    std::vector<ChunkIndexEntry> chunkIndexes;
    TimeRange fileTimes;
    std::uint64_t messages{0};
    McapError error{McapErrc::kWrite, {}};
    int errnoValue{0};
    bool failed{false};
    bool closed{false};

    ChannelEntry* FindChannel(std::uint16_t id) {
        return id >= 1 && id <= channels.size() ? &channels[id - 1U] : nullptr;
    }

    void Fail(const std::string& what, int number) {
        failed = true;
        errnoValue = number;
        const bool full = number == ENOSPC || number == EDQUOT;
        error = {
            full ? McapErrc::kNoSpace : McapErrc::kWrite,
            path + ": " + what + (full ? ": the disk is full" : "") + " (" + std::strerror(number) + ")"};
    }

    // Writes the pieces in order, whole; the data section's ones count in its CRC.
    bool Output(std::initializer_list<std::pair<const std::uint8_t*, std::size_t>> pieces, bool dataSection) {
        std::array<iovec, 4> vector{};
        std::size_t count = 0;
        for (const auto& [bytes, size] : pieces) {
            if (size == 0) {
                continue;
            }
            if (dataSection) {
                dataCrc.Update(bytes, size);
            }
            vector[count++] = iovec{const_cast<std::uint8_t*>(bytes), size};
        }
        iovec* next = vector.data();
        while (count > 0) {
            const ssize_t written = ::writev(fd.get(), next, static_cast<int>(count));
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Fail("cannot be written", errno);
                return false;
            }
            offset += static_cast<std::uint64_t>(written);
            auto left = static_cast<std::size_t>(written);
            while (count > 0 && left >= next->iov_len) {
                left -= next->iov_len;
                ++next;
                --count;
            }
            if (count > 0) {
                next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + left;
                next->iov_len -= left;
            }
        }
        return true;
    }

    static std::size_t SchemaRecordSize(const SchemaEntry& schema) {
        return kRecordPrefix + 2 + 4 + schema.name.size() + 4 + schema.encoding.size() + 4 +
               schema.data.size();
    }

    static std::size_t ChannelRecordSize(const ChannelEntry& channel) {
        std::size_t size =
            kRecordPrefix + 2 + 2 + 4 + channel.topic.size() + 4 + channel.messageEncoding.size() + 4;
        for (const auto& [key, value] : channel.metadata) {
            size += 4 + key.size() + 4 + value.size();
        }
        return size;
    }

    void PutSchema(ByteBuffer& out, const SchemaEntry& schema) {
        const std::size_t record = out.BeginRecord(kSchema);
        out.Put(schema.id);
        out.PutString(schema.name);
        out.PutString(schema.encoding);
        out.PutString(schema.data);  // bytes with a uint32 length, like a string
        out.EndRecord(record);
    }

    void PutChannel(ByteBuffer& out, const ChannelEntry& channel) {
        const std::size_t record = out.BeginRecord(kChannel);
        out.Put(channel.id);
        out.Put(channel.schemaId);
        out.PutString(channel.topic);
        out.PutString(channel.messageEncoding);
        const std::size_t mapLength = out.Size();
        out.Put(std::uint32_t{0});
        for (const auto& [key, value] : channel.metadata) {
            out.PutString(key);
            out.PutString(value);
        }
        out.PutAt(mapLength, static_cast<std::uint32_t>(out.Size() - mapLength - 4));
        out.EndRecord(record);
    }

    bool CloseChunk() {
        if (failed) {
            return false;
        }
        if (chunk.Size() == 0) {
            return true;
        }
        const std::uint32_t crc = Crc32::Of(chunk.Data(), chunk.Size());
        const std::uint8_t* records = chunk.Data();
        std::size_t recordsSize = chunk.Size();
        Compression used = Compression::kNone;
        if (zstd) {
            const std::size_t bound = ZSTD_compressBound(chunk.Size());
            compressed.Clear();
            const std::size_t size = ZSTD_compressCCtx(zstd.get(), compressed.Extend(bound), bound,
                                                       chunk.Data(), chunk.Size(), options.zstdLevel);
            // Video that does not get smaller is stored as it is: a reader then has nothing to undo.
            if (ZSTD_isError(size) == 0 && size < chunk.Size()) {
                records = compressed.Data();
                recordsSize = size;
                used = Compression::kZstd;
            }
        }

        scratch.Clear();
        const std::size_t record = scratch.BeginRecord(kChunk);
        scratch.Put(chunkTimes.startNs);
        scratch.Put(chunkTimes.endNs);
        scratch.Put(static_cast<std::uint64_t>(chunk.Size()));
        scratch.Put(crc);
        scratch.PutString(CompressionName(used));
        scratch.Put(static_cast<std::uint64_t>(recordsSize));
        scratch.PutAt(record, static_cast<std::uint64_t>(scratch.Size() - record - 8 + recordsSize));

        ChunkIndexEntry entry{
            chunkTimes.startNs, chunkTimes.endNs, offset, scratch.Size() + recordsSize, {}, 0, used,
            recordsSize,        chunk.Size()};
        indexes.Clear();
        for (ChannelEntry& channel : channels) {
            if (channel.index.empty()) {
                continue;
            }
            entry.indexOffsets.emplace_back(channel.id, entry.offset + entry.length + indexes.Size());
            const std::size_t indexRecord = indexes.BeginRecord(kMessageIndex);
            indexes.Put(channel.id);
            indexes.Put(static_cast<std::uint32_t>(channel.index.size() * 16));
            for (const IndexEntry& indexed : channel.index) {
                indexes.Put(indexed.logTimeNs);
                indexes.Put(indexed.offset);
            }
            indexes.EndRecord(indexRecord);
            channel.index.clear();
        }
        entry.indexLength = indexes.Size();
        if (!Output(
                {{scratch.Data(), scratch.Size()}, {records, recordsSize}, {indexes.Data(), indexes.Size()}},
                true)) {
            return false;
        }
        chunkIndexes.push_back(std::move(entry));
        chunk.Clear();
        chunkTimes = TimeRange{};
        return true;
    }

    // The summary (schemas, channels, statistics, chunk indexes, each a group), the summary offsets, the
    // footer and the closing magic, into `scratch`. `summaryStart` is where it goes in the file.
    void PutSummary(std::uint64_t summaryStart) {
        scratch.Clear();
        struct Group {
            Opcode opcode;
            std::size_t start;
            std::size_t length;
        };
        std::array<Group, 4> groups{};
        std::size_t groupCount = 0;
        const auto endGroup = [&](Opcode opcode, std::size_t start) {
            if (scratch.Size() > start) {
                groups[groupCount++] = Group{opcode, start, scratch.Size() - start};
            }
        };

        std::size_t start = scratch.Size();
        for (const SchemaEntry& schema : schemas) {
            if (schema.written) {
                PutSchema(scratch, schema);
            }
        }
        endGroup(kSchema, start);
        start = scratch.Size();
        std::uint32_t channelCount = 0;
        for (const ChannelEntry& channel : channels) {
            if (channel.written) {
                PutChannel(scratch, channel);
                ++channelCount;
            }
        }
        endGroup(kChannel, start);

        start = scratch.Size();
        const std::size_t statistics = scratch.BeginRecord(kStatistics);
        scratch.Put(messages);
        scratch.Put(static_cast<std::uint16_t>(
            std::count_if(schemas.begin(), schemas.end(), [](const SchemaEntry& s) { return s.written; })));
        scratch.Put(channelCount);
        scratch.Put(std::uint32_t{0});  // attachments
        scratch.Put(std::uint32_t{0});  // metadata
        scratch.Put(static_cast<std::uint32_t>(chunkIndexes.size()));
        scratch.Put(fileTimes.startNs);
        scratch.Put(fileTimes.endNs);
        scratch.Put(static_cast<std::uint32_t>(channelCount * (2U + 8U)));
        for (const ChannelEntry& channel : channels) {
            if (channel.written) {
                scratch.Put(channel.id);
                scratch.Put(channel.messages);
            }
        }
        scratch.EndRecord(statistics);
        endGroup(kStatistics, start);

        start = scratch.Size();
        for (const ChunkIndexEntry& chunkIndex : chunkIndexes) {
            const std::size_t record = scratch.BeginRecord(kChunkIndex);
            scratch.Put(chunkIndex.startNs);
            scratch.Put(chunkIndex.endNs);
            scratch.Put(chunkIndex.offset);
            scratch.Put(chunkIndex.length);
            scratch.Put(static_cast<std::uint32_t>(chunkIndex.indexOffsets.size() * (2U + 8U)));
            for (const auto& [channel, at] : chunkIndex.indexOffsets) {
                scratch.Put(channel);
                scratch.Put(at);
            }
            scratch.Put(chunkIndex.indexLength);
            scratch.PutString(CompressionName(chunkIndex.compression));
            scratch.Put(chunkIndex.compressedSize);
            scratch.Put(chunkIndex.uncompressedSize);
            scratch.EndRecord(record);
        }
        endGroup(kChunkIndex, start);

        const std::uint64_t offsetsStart = summaryStart + scratch.Size();
        for (std::size_t i = 0; i < groupCount; ++i) {
            const std::size_t record = scratch.BeginRecord(kSummaryOffset);
            scratch.Put(static_cast<std::uint8_t>(groups[i].opcode));
            scratch.Put(summaryStart + groups[i].start);
            scratch.Put(static_cast<std::uint64_t>(groups[i].length));
            scratch.EndRecord(record);
        }

        // The summary's CRC runs from its first record through the footer's summary_offset_start.
        scratch.Put(static_cast<std::uint8_t>(kFooter));
        scratch.Put(std::uint64_t{8 + 8 + 4});  // its length is fixed, and covered by the CRC
        scratch.Put(summaryStart);
        scratch.Put(offsetsStart);
        scratch.Put(Crc32::Of(scratch.Data(), scratch.Size()));
        scratch.PutBytes(kMagic.data(), kMagic.size());
    }
};

McapResult<McapWriter> McapWriter::Create(const std::string& path, const WriterOptions& options) {
    using R = McapResult<McapWriter>;
    auto state = std::make_unique<State>();
    state->path = path;
    state->options = options;
    state->fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!state->fd.valid()) {
        const int error = errno;
        return R::FromError({McapErrc::kOpen, path + ": cannot be created (" + std::strerror(error) + ")"});
    }
    if (options.compression == Compression::kZstd) {
        state->zstd.reset(ZSTD_createCCtx());
        if (!state->zstd) {
            return R::FromError({McapErrc::kOpen, path + ": no memory for a zstd compressor"});
        }
    }
    state->chunk.Reserve(options.chunkSize);

    ByteBuffer& out = state->scratch;
    out.PutBytes(kMagic.data(), kMagic.size());
    const std::size_t header = out.BeginRecord(kHeader);
    out.PutString(options.profile);
    out.PutString(options.library);
    out.EndRecord(header);
    if (!state->Output({{out.Data(), out.Size()}}, true)) {
        return R::FromError(state->error);
    }
    return R::FromValue(McapWriter(std::move(state)));
}

McapWriter::McapWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
McapWriter::McapWriter(McapWriter&&) noexcept = default;

McapWriter& McapWriter::operator=(McapWriter&& other) noexcept {
    if (this != &other) {
        if (state_) {
            Close();
        }
        state_ = std::move(other.state_);
    }
    return *this;
}

McapWriter::~McapWriter() {
    if (state_) {
        Close();
    }
}

std::uint16_t McapWriter::AddSchema(std::string name, std::string encoding, std::string data) {
    if (state_->schemas.size() >= std::numeric_limits<std::uint16_t>::max()) {
        return 0;
    }
    const auto id = static_cast<std::uint16_t>(state_->schemas.size() + 1);
    state_->schemas.push_back(SchemaEntry{id, std::move(name), std::move(encoding), std::move(data)});
    return id;
}

std::uint16_t McapWriter::AddChannel(std::uint16_t schemaId, std::string topic, std::string messageEncoding,
                                     Metadata metadata) {
    if (schemaId > state_->schemas.size() ||
        state_->channels.size() >= std::numeric_limits<std::uint16_t>::max()) {
        state_->error = {McapErrc::kUsage, state_->path + ": channel " + topic + " names schema " +
                                               std::to_string(schemaId) + ", which was never added"};
        return 0;
    }
    const auto id = static_cast<std::uint16_t>(state_->channels.size() + 1);
    ChannelEntry channel{id, schemaId, std::move(topic), std::move(messageEncoding), std::move(metadata)};
    channel.index.reserve(kIndexEntriesReserved);
    state_->channels.push_back(std::move(channel));
    return id;
}

std::uint8_t* McapWriter::BeginMessage(const MessageHeader& header, std::size_t size) {
    State& state = *state_;
    if (state.failed || state.closed) {
        return nullptr;
    }
    ChannelEntry* channel = state.FindChannel(header.channelId);
    if (channel == nullptr) {
        state.error = {McapErrc::kUsage,
                       state.path + ": no channel " + std::to_string(header.channelId) + " was added"};
        return nullptr;
    }
    std::size_t recordSize = kRecordPrefix + kMessageFields + size;
    if (!channel->written) {
        recordSize += state.ChannelRecordSize(*channel);
        if (channel->schemaId != 0 && !state.schemas[channel->schemaId - 1U].written) {
            recordSize += state.SchemaRecordSize(state.schemas[channel->schemaId - 1U]);
        }
    }
    if (state.chunk.Size() > 0 && state.chunk.Size() + recordSize > state.options.chunkSize &&
        !state.CloseChunk()) {
        return nullptr;
    }
    // Readers that go from the start (a cut file has nothing else) meet a channel before its messages.
    if (!channel->written) {
        if (channel->schemaId != 0 && !state.schemas[channel->schemaId - 1U].written) {
            state.PutSchema(state.chunk, state.schemas[channel->schemaId - 1U]);
            state.schemas[channel->schemaId - 1U].written = true;
        }
        state.PutChannel(state.chunk, *channel);
        channel->written = true;
    }
    channel->index.push_back(IndexEntry{header.logTimeNs, state.chunk.Size()});
    ++channel->messages;
    ++state.messages;
    state.chunkTimes.Add(header.logTimeNs);
    state.fileTimes.Add(header.logTimeNs);

    ByteBuffer& chunk = state.chunk;
    chunk.Put(static_cast<std::uint8_t>(kMessage));
    chunk.Put(static_cast<std::uint64_t>(kMessageFields + size));
    chunk.Put(header.channelId);
    chunk.Put(header.sequence);
    chunk.Put(header.logTimeNs);
    chunk.Put(header.publishTimeNs);
    return chunk.Extend(size);
}

bool McapWriter::Write(const MessageHeader& header, const std::uint8_t* data, std::size_t size) {
    return Write(header, size, [data, size](std::uint8_t* out) {
        if (size > 0) {
            std::memcpy(out, data, size);
        }
    });
}

bool McapWriter::CloseChunk() {
    return !state_->closed && state_->CloseChunk();
}

bool McapWriter::Close() {
    State& state = *state_;
    if (state.closed) {
        return !state.failed;
    }
    const bool chunked = state.CloseChunk();
    state.closed = true;
    if (!chunked) {
        state.fd.reset();
        return false;
    }
    state.scratch.Clear();
    const std::size_t dataEnd = state.scratch.BeginRecord(kDataEnd);
    state.scratch.Put(state.dataCrc.Value());
    state.scratch.EndRecord(dataEnd);
    const std::uint64_t summaryStart = state.offset + state.scratch.Size();
    if (!state.Output({{state.scratch.Data(), state.scratch.Size()}}, false)) {
        state.fd.reset();
        return false;
    }
    state.PutSummary(summaryStart);
    if (!state.Output({{state.scratch.Data(), state.scratch.Size()}}, false)) {
        state.fd.reset();
        return false;
    }
    if (::close(state.fd.release()) != 0) {
        state.Fail("cannot be completed", errno);
        return false;
    }
    return true;
}

bool McapWriter::Failed() const noexcept {
    return state_->failed;
}

const McapError& McapWriter::LastError() const noexcept {
    return state_->error;
}

int McapWriter::LastErrno() const noexcept {
    return state_->errnoValue;
}

const std::string& McapWriter::Path() const noexcept {
    return state_->path;
}

std::uint64_t McapWriter::MessagesWritten() const noexcept {
    return state_->messages;
}

std::uint64_t McapWriter::ChunksWritten() const noexcept {
    return state_->chunkIndexes.size();
}

std::uint64_t McapWriter::BytesWritten() const noexcept {
    return state_->offset;
}

}  // namespace camera_tools::mcap
