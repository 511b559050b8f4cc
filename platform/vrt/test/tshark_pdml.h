#pragma once

#include <string>
#include <vector>

// Reading the fields of tshark's SOME/IP dissection out of its PDML output.
namespace vrt::common::test {

struct Dissection {
    std::vector<std::string> lines;  // one per payload field, e.g. "length 12" or "tag 5 3"
    std::vector<std::string>
        problems;  // what the dissector flagged: expert notes, malformed or unparsed bytes
};

// The dissection of one <packet> element.
Dissection ReadPacket(const std::string& packet);

}  // namespace vrt::common::test
