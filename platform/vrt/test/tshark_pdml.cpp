#include "tshark_pdml.h"

#include <cstdint>
#include <cstdlib>
#include <regex>

namespace vrt::common::test {

namespace {

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t end = text.find(';', i);
        const std::string entity = text.substr(i + 1, end - i - 1);
        if (entity == "quot")
            out += '"';
        else if (entity == "amp")
            out += '&';
        else if (entity == "lt")
            out += '<';
        else if (entity == "gt")
            out += '>';
        else if (entity == "apos")
            out += '\'';
        else if (!entity.empty() && entity[0] == '#') {
            out += static_cast<char>(std::strtol(entity.c_str() + (entity[1] == 'x' ? 2 : 1), nullptr,
                                                 entity[1] == 'x' ? 16 : 10));
        }
        i = end;
    }
    return out;
}

std::string Attribute(const std::string& tag, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const std::size_t start = tag.find(key);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t from = start + key.size();
    return Unescape(tag.substr(from, tag.find('"', from) - from));
}

// Value of a base field from its raw bytes, as its base type (named in brackets) says to read them.
std::string BaseValue(const std::string& type, const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    const bool littleEndian = type.find("le") != std::string::npos;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t at = littleEndian ? bytes.size() - 1 - i : i;
        value = value << 8U | bytes[at];
    }
    if (type[0] == 'i') {
        const unsigned bits = static_cast<unsigned>(8 * bytes.size());
        const auto sign = std::uint64_t{1} << (bits - 1);
        return std::to_string(static_cast<std::int64_t>((value ^ sign) - sign));
    }
    return std::to_string(value);
}

}  // namespace

Dissection ReadPacket(const std::string& packet) {
    Dissection out;
    static const std::regex kField("<field [^>]*>");
    std::string wireType;
    for (std::sregex_iterator it(packet.begin(), packet.end(), kField), end; it != end; ++it) {
        const std::string tag = it->str();
        const std::string name = Attribute(tag, "name");
        const std::string showname = Attribute(tag, "showname");
        if (name.rfind("_ws.", 0) == 0 || name.find("expert") != std::string::npos ||
            name == "someip.payload.unparsed" || name.find("truncated") != std::string::npos ||
            name == "someip.incomplete_headers") {
            out.problems.push_back(showname.empty() ? name : showname);
        } else if (name == "someip.payload.struct") {
            out.lines.push_back("struct " + Attribute(tag, "show"));
        } else if (name == "someip.payload.length") {
            out.lines.push_back("length " + Attribute(tag, "show"));
        } else if (name == "someip.payload.array") {
            out.lines.push_back("array " + showname.substr(6, showname.find(' ', 6) - 6));
        } else if (name == "someip.payload.base") {
            const std::size_t open = showname.find(" [");
            const std::string type = showname.substr(open + 2, showname.find(']') - open - 2);
            out.lines.push_back(showname.substr(0, open) + " " + BaseValue(type, Attribute(tag, "value")));
        } else if (name == "someip.payload.frameId") {
            std::string text = showname.substr(showname.find("]: ") + 3);
            if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
                text.erase(0, 3);  // tshark keeps the byte-order mark in the text it shows
            }
            out.lines.push_back("string frameId " + text);
        } else if (name == "someip.payload.wtlvtag.wire_type") {
            wireType = Attribute(tag, "show");
        } else if (name == "someip.payload.wtlvtag.data_id") {
            out.lines.push_back("tag " + wireType + " " + Attribute(tag, "show"));
        }
    }
    // A message the dissector could not read at all carries no payload fields.
    if (packet.find("proto name=\"_ws.malformed\"") != std::string::npos) {
        out.problems.push_back("malformed packet");
    }
    return out;
}

}  // namespace vrt::common::test
