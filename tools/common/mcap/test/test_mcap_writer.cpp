// The writer's files read back byte by byte with a reader written here from the format description: record
// layout, CRCs, chunk and message indexes, statistics and summary offsets; compressed chunks; files cut short
// as a kill or a full disk leaves them.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <zstd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "camera_test/gtest_support.h"
#include "crc32.h"
#include "mcap_writer.h"

namespace camera_tools::mcap {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kMagic[] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Little-endian fields of one record, read in order; running past the end fails the test.
class Fields {
  public:
    Fields(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}
    template <typename T>
    T Get() {
        EXPECT_GE(left_, sizeof(T));
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < sizeof(T) && i < left_; ++i) {
            value |= static_cast<std::uint64_t>(data_[i]) << (8U * i);
        }
        Skip(sizeof(T));
        return static_cast<T>(value);
    }
    std::string String() {
        const auto size = Get<std::uint32_t>();
        EXPECT_GE(left_, size);
        std::string text(reinterpret_cast<const char*>(data_), std::min<std::size_t>(size, left_));
        Skip(size);
        return text;
    }
    const std::uint8_t* Here() const { return data_; }
    std::size_t Left() const { return left_; }
    void Skip(std::size_t count) {
        count = std::min(count, left_);
        data_ += count;
        left_ -= count;
    }

  private:
    const std::uint8_t* data_;
    std::size_t left_;
};

struct Record {
    std::uint8_t opcode;
    std::size_t offset;  // of the opcode, in the buffer walked
    const std::uint8_t* body;
    std::size_t length;
    Fields Read() const { return Fields(body, length); }
    std::size_t End() const { return offset + 9 + length; }
};

// The records in [from, to) up to the first that is not whole; `whole` says whether the walk ended at `to`.
std::vector<Record> Walk(const std::uint8_t* data, std::size_t from, std::size_t to, bool* whole = nullptr) {
    std::vector<Record> records;
    std::size_t at = from;
    while (at + 9 <= to) {
        Fields prefix(data + at + 1, 8);
        const auto length = prefix.Get<std::uint64_t>();
        if (length > to - at - 9) {
            break;
        }
        records.push_back(Record{data[at], at, data + at + 9, static_cast<std::size_t>(length)});
        at += 9 + length;
    }
    if (whole != nullptr) {
        *whole = at == to;
    }
    return records;
}

struct Message {
    std::uint16_t channel;
    std::uint32_t sequence;
    std::uint64_t logTime;
    std::uint64_t publishTime;
    Bytes data;
    bool operator==(const Message& other) const {
        return channel == other.channel && sequence == other.sequence && logTime == other.logTime &&
               publishTime == other.publishTime && data == other.data;
    }
};

Message ParseMessage(const Record& record) {
    Fields fields = record.Read();
    Message message{};
    message.channel = fields.Get<std::uint16_t>();
    message.sequence = fields.Get<std::uint32_t>();
    message.logTime = fields.Get<std::uint64_t>();
    message.publishTime = fields.Get<std::uint64_t>();
    message.data.assign(fields.Here(), fields.Here() + fields.Left());
    return message;
}

struct Chunk {
    std::size_t offset;
    std::size_t length;  // the whole record
    std::uint64_t startTime;
    std::uint64_t endTime;
    std::string compression;
    std::uint32_t crc;
    Bytes records;  // uncompressed
};

Chunk ParseChunk(const Record& record) {
    Fields fields = record.Read();
    Chunk chunk{record.offset, 9 + record.length, 0, 0, {}, 0, {}};
    chunk.startTime = fields.Get<std::uint64_t>();
    chunk.endTime = fields.Get<std::uint64_t>();
    const auto uncompressedSize = fields.Get<std::uint64_t>();
    chunk.crc = fields.Get<std::uint32_t>();
    chunk.compression = fields.String();
    const auto size = fields.Get<std::uint64_t>();
    EXPECT_EQ(size, fields.Left());
    if (chunk.compression == "zstd") {
        chunk.records.resize(uncompressedSize);
        const std::size_t got =
            ZSTD_decompress(chunk.records.data(), chunk.records.size(), fields.Here(), fields.Left());
        EXPECT_EQ(got, uncompressedSize) << "zstd: " << ZSTD_getErrorName(got);
    } else {
        EXPECT_EQ(chunk.compression, "");
        chunk.records.assign(fields.Here(), fields.Here() + fields.Left());
    }
    EXPECT_EQ(chunk.records.size(), uncompressedSize);
    EXPECT_EQ(Crc32::Of(chunk.records.data(), chunk.records.size()), chunk.crc)
        << "chunk at " << chunk.offset;
    return chunk;
}

// What a reader that starts at the beginning gets from a file, complete or cut: the messages of every whole
// chunk, in order, and the channels it met before them.
struct Scan {
    std::vector<Message> messages;
    std::vector<Chunk> chunks;
    std::map<std::uint16_t, std::string> topics;
    bool reachedDataEnd{false};
    std::size_t dataEnd{0};
};

Scan ScanFromStart(const Bytes& file) {
    Scan scan;
    EXPECT_GE(file.size(), sizeof(kMagic));
    EXPECT_TRUE(std::equal(std::begin(kMagic), std::end(kMagic), file.begin()));
    for (const Record& record : Walk(file.data(), sizeof(kMagic), file.size())) {
        if (record.opcode == 0x0F) {
            scan.reachedDataEnd = true;
            scan.dataEnd = record.offset;
            break;
        }
        if (record.opcode != 0x06) {
            continue;
        }
        scan.chunks.push_back(ParseChunk(record));
        const Bytes& inner = scan.chunks.back().records;
        bool whole = false;
        for (const Record& nested : Walk(inner.data(), 0, inner.size(), &whole)) {
            if (nested.opcode == 0x04) {
                Fields fields = nested.Read();
                const auto id = fields.Get<std::uint16_t>();
                fields.Get<std::uint16_t>();
                scan.topics[id] = fields.String();
            } else if (nested.opcode == 0x05) {
                scan.messages.push_back(ParseMessage(nested));
                EXPECT_EQ(scan.topics.count(scan.messages.back().channel), 1U)
                    << "message before its channel";
            }
        }
        EXPECT_TRUE(whole);
    }
    return scan;
}

class McapWriterTest : public ::testing::Test {
  protected:
    McapWriter Create(WriterOptions options) {
        options.profile = "ros2";
        options.library = "camera_mcap_test";
        auto created = McapWriter::Create(path_, options);
        EXPECT_TRUE(created.HasValue()) << created.Error().message;
        return std::move(created).Value();
    }

    // Message `i`: alternating channels a and b, log times 1 ms apart, publish times 5 ms before.
    static Message Nth(std::size_t i, std::uint16_t a, std::uint16_t b, std::size_t size) {
        Message message{};
        message.channel = i % 2 == 0 ? a : b;
        message.sequence = static_cast<std::uint32_t>(i / 2);
        message.logTime = 1'700'000'000'000'000'000ULL + i * 1'000'000ULL;
        message.publishTime = message.logTime - 5'000'000ULL;
        message.data.resize(size);
        for (std::size_t k = 0; k < size; ++k) {
            message.data[k] = static_cast<std::uint8_t>(i * 31 + k);
        }
        return message;
    }

    static bool Put(McapWriter& sut, const Message& message) {
        return sut.Write(
            MessageHeader{message.channel, message.sequence, message.logTime, message.publishTime},
            message.data.data(), message.data.size());
    }

    camera_test::TemporaryDirectory directory_ = camera_test::NewTestDirectory("camera_mcap_test_");
    std::string path_ = directory_.Path() + "/cameras.mcap";
};

TEST_F(McapWriterTest, RecordsIndexesSummaryAndFooterPointAtEachOtherAndTheirCrcsCheck) {
    WriterOptions options;
    options.compression = Compression::kNone;
    options.chunkSize = 300;  // a few messages each
    McapWriter sut = Create(options);
    const std::uint16_t schema = sut.AddSchema("pkg/msg/Thing", "ros2msg", "int32 x\n");
    const std::uint16_t a = sut.AddChannel(schema, "/cam_8/video", "cdr", {{"offered_qos_profiles", ""}});
    const std::uint16_t b = sut.AddChannel(schema, "/cam_9/video", "cdr");
    sut.AddChannel(schema, "/never/used", "cdr");
    EXPECT_EQ(sut.AddChannel(7, "/no/such/schema", "cdr"), 0U);
    MessageHeader unknown;
    unknown.channelId = 42;
    EXPECT_FALSE(sut.Write(unknown, nullptr, 0));
    EXPECT_EQ(sut.LastError().code, McapErrc::kUsage);
    EXPECT_FALSE(sut.Failed());  // a wrong id is refused, the file goes on

    std::vector<Message> written;
    for (std::size_t i = 0; i < 13; ++i) {
        written.push_back(Nth(i, a, b, 40 + i));
        ASSERT_TRUE(Put(sut, written.back()));
    }
    ASSERT_TRUE(sut.Close());
    EXPECT_TRUE(sut.Close());  // once is enough
    EXPECT_FALSE(Put(sut, written.front()));

    const Bytes file = ReadFile(path_);
    ASSERT_GT(file.size(), 2 * sizeof(kMagic));
    EXPECT_TRUE(std::equal(std::begin(kMagic), std::end(kMagic), file.end() - sizeof(kMagic)));
    EXPECT_EQ(sut.BytesWritten(), file.size());

    // Header, then chunks each followed by its message indexes, then Data End.
    bool whole = false;
    const std::vector<Record> records =
        Walk(file.data(), sizeof(kMagic), file.size() - sizeof(kMagic), &whole);
    ASSERT_TRUE(whole);
    ASSERT_EQ(records.front().opcode, 0x01);
    Fields header = records.front().Read();
    EXPECT_EQ(header.String(), "ros2");
    EXPECT_EQ(header.String(), "camera_mcap_test");

    const Scan scan = ScanFromStart(file);
    EXPECT_EQ(scan.messages, written);
    ASSERT_TRUE(scan.reachedDataEnd);
    ASSERT_GE(scan.chunks.size(), 4U);
    EXPECT_EQ(scan.chunks.size(), sut.ChunksWritten());
    EXPECT_EQ(scan.topics.size(), 2U);  // the unused channel is nowhere
    for (const Chunk& chunk : scan.chunks) {
        EXPECT_LE(chunk.records.size(), options.chunkSize);
    }

    std::size_t dataEndIndex = 0;
    while (records[dataEndIndex].opcode != 0x0F) {
        ++dataEndIndex;
    }
    const Record& dataEnd = records[dataEndIndex];
    EXPECT_EQ(dataEnd.Read().Get<std::uint32_t>(), Crc32::Of(file.data(), dataEnd.offset));

    // The footer, the summary's CRC and its offsets.
    const Record& footer = records.back();
    ASSERT_EQ(footer.opcode, 0x02);
    Fields footerFields = footer.Read();
    const auto summaryStart = footerFields.Get<std::uint64_t>();
    const auto summaryOffsetStart = footerFields.Get<std::uint64_t>();
    const auto summaryCrc = footerFields.Get<std::uint32_t>();
    EXPECT_EQ(summaryStart, dataEnd.End());
    EXPECT_EQ(summaryCrc,
              Crc32::Of(file.data() + summaryStart, footer.offset + 1 + 8 + 8 + 8 - summaryStart));

    std::map<std::uint8_t, std::pair<std::size_t, std::size_t>> groups;  // opcode: first offset, end
    std::vector<Record> summaryOffsets;
    std::vector<Record> chunkIndexes;
    for (std::size_t i = dataEndIndex + 1; i + 1 < records.size(); ++i) {
        const Record& record = records[i];
        if (record.opcode == 0x0E) {
            summaryOffsets.push_back(record);
            continue;
        }
        EXPECT_LT(record.offset, summaryOffsetStart);
        auto [group, added] = groups.emplace(record.opcode, std::make_pair(record.offset, record.End()));
        if (!added) {
            EXPECT_EQ(group->second.second, record.offset) << "summary records grouped by opcode";
            group->second.second = record.End();
        }
        if (record.opcode == 0x08) {
            chunkIndexes.push_back(record);
        }
    }
    ASSERT_FALSE(summaryOffsets.empty());
    EXPECT_EQ(summaryOffsets.front().offset, summaryOffsetStart);
    EXPECT_EQ(groups.size(), 4U);  // schemas, channels, statistics, chunk indexes
    EXPECT_EQ(summaryOffsets.size(), groups.size());
    for (const Record& summaryOffset : summaryOffsets) {
        Fields fields = summaryOffset.Read();
        const auto opcode = fields.Get<std::uint8_t>();
        const auto start = fields.Get<std::uint64_t>();
        const auto length = fields.Get<std::uint64_t>();
        ASSERT_EQ(groups.count(opcode), 1U);
        EXPECT_EQ(start, groups[opcode].first);
        EXPECT_EQ(start + length, groups[opcode].second);
    }

    // Statistics.
    const auto statisticsAt = groups[0x0B].first;
    const auto statisticsRecords = Walk(file.data(), statisticsAt, groups[0x0B].second);
    ASSERT_EQ(statisticsRecords.size(), 1U);
    Fields statistics = statisticsRecords[0].Read();
    EXPECT_EQ(statistics.Get<std::uint64_t>(), written.size());
    EXPECT_EQ(statistics.Get<std::uint16_t>(), 1U);  // schemas
    EXPECT_EQ(statistics.Get<std::uint32_t>(), 2U);  // channels
    EXPECT_EQ(statistics.Get<std::uint32_t>(), 0U);  // attachments
    EXPECT_EQ(statistics.Get<std::uint32_t>(), 0U);  // metadata
    EXPECT_EQ(statistics.Get<std::uint32_t>(), scan.chunks.size());
    EXPECT_EQ(statistics.Get<std::uint64_t>(), written.front().logTime);
    EXPECT_EQ(statistics.Get<std::uint64_t>(), written.back().logTime);
    EXPECT_EQ(statistics.Get<std::uint32_t>(), 2U * 10U);
    EXPECT_EQ(statistics.Get<std::uint16_t>(), a);
    EXPECT_EQ(statistics.Get<std::uint64_t>(), 7U);
    EXPECT_EQ(statistics.Get<std::uint16_t>(), b);
    EXPECT_EQ(statistics.Get<std::uint64_t>(), 6U);

    // Each chunk index names its chunk and the message indexes behind it, and they find every message.
    ASSERT_EQ(chunkIndexes.size(), scan.chunks.size());
    std::size_t indexed = 0;
    for (std::size_t c = 0; c < chunkIndexes.size(); ++c) {
        const Chunk& chunk = scan.chunks[c];
        Fields fields = chunkIndexes[c].Read();
        EXPECT_EQ(fields.Get<std::uint64_t>(), chunk.startTime);
        EXPECT_EQ(fields.Get<std::uint64_t>(), chunk.endTime);
        EXPECT_EQ(fields.Get<std::uint64_t>(), chunk.offset);
        EXPECT_EQ(fields.Get<std::uint64_t>(), chunk.length);
        const auto mapLength = fields.Get<std::uint32_t>();
        const std::size_t leftAfterMap = fields.Left() - mapLength;
        std::size_t indexesLength = 0;
        while (fields.Left() > leftAfterMap) {
            const auto channel = fields.Get<std::uint16_t>();
            const auto at = fields.Get<std::uint64_t>();
            const auto indexRecords = Walk(file.data(), at, file.size());
            ASSERT_FALSE(indexRecords.empty());
            const Record& index = indexRecords.front();
            EXPECT_EQ(index.opcode, 0x07);
            EXPECT_GE(at, chunk.offset + chunk.length);
            indexesLength += 9 + index.length;
            Fields entries = index.Read();
            EXPECT_EQ(entries.Get<std::uint16_t>(), channel);
            const auto count = entries.Get<std::uint32_t>() / 16U;
            for (std::uint32_t e = 0; e < count; ++e) {
                const auto logTime = entries.Get<std::uint64_t>();
                const auto offset = entries.Get<std::uint64_t>();
                const auto inner = Walk(chunk.records.data(), offset, chunk.records.size());
                ASSERT_FALSE(inner.empty());
                ASSERT_EQ(inner.front().opcode, 0x05);
                const Message message = ParseMessage(inner.front());
                EXPECT_EQ(message.channel, channel);
                EXPECT_EQ(message.logTime, logTime);
                EXPECT_GE(logTime, chunk.startTime);
                EXPECT_LE(logTime, chunk.endTime);
                ++indexed;
            }
        }
        EXPECT_EQ(fields.Get<std::uint64_t>(), indexesLength);
        EXPECT_EQ(fields.String(), "");
        EXPECT_EQ(fields.Get<std::uint64_t>(), chunk.records.size());  // stored as it is
        EXPECT_EQ(fields.Get<std::uint64_t>(), chunk.records.size());
    }
    EXPECT_EQ(indexed, written.size());
}

TEST_F(McapWriterTest, ChunksAreZstdWhenThatMakesThemSmallerAndStoredAsTheyAreWhenNot) {
    McapWriter sut = Create(WriterOptions{});
    const std::uint16_t channel = sut.AddChannel(0, "/x", "json");
    Message compressible = Nth(0, channel, channel, 20000);
    std::fill(compressible.data.begin(), compressible.data.end(), 'a');
    ASSERT_TRUE(Put(sut, compressible));
    ASSERT_TRUE(sut.CloseChunk());
    Message noise = Nth(2, channel, channel, 20000);
    std::mt19937 random(7);
    for (auto& byte : noise.data) {
        byte = static_cast<std::uint8_t>(random());
    }
    ASSERT_TRUE(Put(sut, noise));
    ASSERT_TRUE(sut.Close());

    const Bytes file = ReadFile(path_);
    const Scan scan = ScanFromStart(file);
    ASSERT_EQ(scan.chunks.size(), 2U);
    EXPECT_EQ(scan.chunks[0].compression, "zstd");
    EXPECT_LT(scan.chunks[0].length, 2000U);
    EXPECT_EQ(scan.chunks[1].compression, "");
    EXPECT_EQ(scan.messages, (std::vector<Message>{compressible, noise}));
}

TEST_F(McapWriterTest, AFileCutAtAChunkBoundaryOrMidChunkKeepsEveryCompleteChunk) {
    WriterOptions options;
    options.compression = Compression::kNone;
    McapWriter sut = Create(options);
    const std::uint16_t a = sut.AddChannel(sut.AddSchema("s", "ros2msg", "x"), "/a", "cdr");
    std::vector<Message> written;
    std::vector<std::size_t> chunkEnds;  // file size after each chunk and its indexes
    for (std::size_t chunk = 0; chunk < 3; ++chunk) {
        for (std::size_t i = 0; i < 5; ++i) {
            written.push_back(Nth(written.size(), a, a, 1000));
            ASSERT_TRUE(Put(sut, written.back()));
        }
        ASSERT_TRUE(sut.CloseChunk());
        chunkEnds.push_back(ReadFile(path_).size());
    }
    // What a kill leaves now: every message so far, in complete chunks.
    EXPECT_EQ(ScanFromStart(ReadFile(path_)).messages, written);
    // Messages after the last CloseChunk are in memory only: a kill now would lose them.
    ASSERT_TRUE(Put(sut, Nth(written.size(), a, a, 1000)));
    EXPECT_EQ(ReadFile(path_).size(), chunkEnds.back());
    ASSERT_TRUE(sut.Close());
    const Bytes file = ReadFile(path_);

    const Bytes atBoundary(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(chunkEnds[1]));
    Scan scan = ScanFromStart(atBoundary);
    EXPECT_EQ(scan.messages, std::vector<Message>(written.begin(), written.begin() + 10));
    EXPECT_FALSE(scan.reachedDataEnd);

    const std::size_t middle = chunkEnds[1] + (chunkEnds[2] - chunkEnds[1]) / 2;
    const Bytes midChunk(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(middle));
    bool whole = true;
    Walk(midChunk.data(), sizeof(kMagic), midChunk.size(), &whole);
    EXPECT_FALSE(whole);  // the third chunk is incomplete
    scan = ScanFromStart(midChunk);
    EXPECT_EQ(scan.messages, std::vector<Message>(written.begin(), written.begin() + 10));
}

// A file-size limit makes writes fail as a full disk does: the writer stops, says so, and what it wrote
// before is whole.
TEST_F(McapWriterTest, AFailedWriteStopsTheWriterAndLeavesItsCompleteChunksReadable) {
    WriterOptions options;
    options.compression = Compression::kNone;
    options.chunkSize = 10000;
    McapWriter sut = Create(options);
    const std::uint16_t a = sut.AddChannel(0, "/a", "json");

    ::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit limited = previous;
    limited.rlim_cur = 50000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::vector<Message> accepted;
    for (std::size_t i = 0; i < 100; ++i) {
        Message message = Nth(i, a, a, 3000);
        if (!Put(sut, message)) {
            break;
        }
        accepted.push_back(message);
    }
    const bool closed = sut.Close();
    ::setrlimit(RLIMIT_FSIZE, &previous);

    EXPECT_TRUE(sut.Failed());
    EXPECT_FALSE(closed);
    EXPECT_EQ(sut.LastErrno(), EFBIG);
    EXPECT_NE(sut.LastError().message.find(path_), std::string::npos) << sut.LastError().message;
    EXPECT_LT(accepted.size(), 100U);
    EXPECT_FALSE(Put(sut, Nth(0, a, a, 10)));

    const Bytes file = ReadFile(path_);
    EXPECT_EQ(file.size(), 50000U);
    const Scan scan = ScanFromStart(file);
    EXPECT_FALSE(scan.reachedDataEnd);
    ASSERT_GE(scan.chunks.size(), 4U);  // 10000-byte chunks before the limit
    EXPECT_EQ(scan.messages, std::vector<Message>(accepted.begin(), accepted.begin() + scan.messages.size()));
}

TEST_F(McapWriterTest, AFileThatCannotBeCreatedIsNamedInTheError) {
    auto created = McapWriter::Create(directory_.Path() + "/no/such/dir/x.mcap", WriterOptions{});
    ASSERT_FALSE(created.HasValue());
    EXPECT_EQ(created.Error().code, McapErrc::kOpen);
    EXPECT_NE(created.Error().message.find("/no/such/dir/x.mcap"), std::string::npos);
}

}  // namespace
}  // namespace camera_tools::mcap
