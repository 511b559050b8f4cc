#include "index_writer.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace camera_record {

RecordResult<IndexWriter> IndexWriter::Open(const std::string& path) {
    using R = RecordResult<IndexWriter>;
    IndexWriter writer;
    writer.path_ = path;
    writer.file_.open(path, std::ios::trunc);
    writer.file_ << kHeader << '\n';
    if (!writer.file_) {
        return R::FromError({RecordErrc::kOpen, path + ": cannot be created"});
    }
    return R::FromValue(std::move(writer));
}

std::string IndexWriter::Format(const IndexRow& row) {
    char text[160];
    const int length =
        std::snprintf(text, sizeof(text), "%" PRIu64 ",%" PRId32 ".%09" PRId32 ",%d,%zu,%.3f,", row.frame,
                      row.sec, row.nsec, row.keyFlag ? 1 : 0, row.bytes, row.latencyMs);
    std::string line(text, length > 0 ? static_cast<std::size_t>(length) : 0U);
    if (row.frameCode) {
        line += std::to_string(*row.frameCode);
    }
    line += ',' + std::to_string(row.lostBefore) + (row.damaged ? ",1" : ",0");
    return line;
}

bool IndexWriter::Check() {
    if (file_) {
        return true;
    }
    lastErrno_ = errno;
    file_.clear();
    return false;
}

bool IndexWriter::Write(const IndexRow& row) {
    errno = 0;
    return file_.is_open() && (file_ << Format(row) << '\n', Check());
}

bool IndexWriter::Flush() {
    errno = 0;
    return !file_.is_open() || (file_.flush(), Check());
}

bool IndexWriter::Close() {
    if (!file_.is_open()) {
        return true;
    }
    errno = 0;
    file_.close();
    if (file_.fail()) {
        lastErrno_ = errno;
        return false;
    }
    return true;
}

}  // namespace camera_record
