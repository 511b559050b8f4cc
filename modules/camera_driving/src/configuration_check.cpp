#include "configuration_check.h"

#include <boost/property_tree/ini_parser.hpp>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <sstream>

#include "vcu/os/files.h"

#include "mpu/mpu_venc.h"
#include "mpu/mpu_vpc.h"

namespace {

constexpr unsigned kFirstCameraId = 8;
constexpr unsigned kCameraCount = 4;
// The camera picture goes to the media unit's picture tasks; the prepared picture also to the encoder.
constexpr std::uint32_t kSmallestInputSide = MPU_VPC_MIN_NV12_SIDE;
constexpr std::uint32_t kSmallestOutputSide = MPU_VENC_MIN_PICTURE_SIDE;
constexpr std::uint32_t kLargestSide = MPU_MAX_PICTURE_SIDE;

std::string evenSides(std::uint32_t smallest, const char* limitedBy) {
    return "an even number of pixels from " + std::to_string(smallest) + " to " +
           std::to_string(kLargestSide) + " (" + limitedBy + ")";
}

// Every key that the orchestrator and the preprocessors read from a camera section.
const std::set<std::string>& knownKeys() {
    static const std::set<std::string> keys = {"inputImageWidth",   "inputImageHeight", "outputImageWidth",
                                               "outputImageHeight", "cropTopOffset",    "cropLeftOffset",
                                               "encoderGopNumber",  "remapFilePathX",   "remapFilePathY"};
    return keys;
}

// The text as the INI reader takes it: without a UTF-8 byte-order mark, and without trailing comments.
// A ';' or '#' that follows a blank starts a comment to the end of the line, as after a value
// ("inputImageWidth = 1920 ; comment"); whole-line comments are the reader's own. A ';' or '#' inside a
// word (a path "maps/a#1.bin") stays part of the value.
std::string withoutTrailingComments(std::string text) {
    static const std::string kByteOrderMark = "\xEF\xBB\xBF";
    if (text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0) {
        text.erase(0, kByteOrderMark.size());
    }
    std::string result;
    result.reserve(text.size());
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line[first] != ';' && line[first] != '#') {
            for (std::size_t i = first + 1; i < line.size(); ++i) {
                if ((line[i] == ';' || line[i] == '#') && (line[i - 1] == ' ' || line[i - 1] == '\t')) {
                    line.erase(i);
                    break;
                }
            }
        }
        result += line;
        result += '\n';
    }
    return result;
}

// Digits only, at most 4294967295: stream extraction would take "-1" or "+5" or "12abc".
std::optional<std::uint32_t> parseUnsigned(const std::string& text) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

class SectionCheck {
  public:
    SectionCheck(const boost::property_tree::ptree& section, const std::string& path, const std::string& name,
                 ara::log::Logger& logger)
        : section_(section), path_(path), name_(name), logger_(logger) {}

    bool ok() const { return ok_; }

    // The key's value as an unsigned number within [low, high] (and even when asked); nullopt after
    // logging when it is missing or does not fit.
    std::optional<std::uint32_t> number(const char* key, std::uint32_t low, std::uint32_t high, bool even,
                                        const std::string& expected) {
        const auto text = section_.get_optional<std::string>(key);
        if (!text) {
            fail(key, "(missing)", "a required key");
            return std::nullopt;
        }
        const std::optional<std::uint32_t> value = parseUnsigned(*text);
        if (!value || *value < low || *value > high || (even && *value % 2 != 0)) {
            fail(key, "\"" + *text + "\"", expected);
            return std::nullopt;
        }
        return value;
    }

    // A crop margin that leaves a window of at least two pixels of `side`.
    void margin(const char* key, std::optional<std::uint32_t> side) {
        const auto text = section_.get_optional<std::string>(key);
        if (!text) {
            fail(key, "(missing)", "a required key");
            return;
        }
        const std::optional<std::uint32_t> value = parseUnsigned(*text);
        if (!value || (side && std::uint64_t{*value} * 2 + 2 > *side)) {
            fail(key, "\"" + *text + "\"",
                 "an unsigned number below half the input picture side, so that the centred crop keeps a "
                 "window");
        }
    }

    void mapFiles() {
        const bool x = section_.get_child_optional("remapFilePathX").has_value();
        const bool y = section_.get_child_optional("remapFilePathY").has_value();
        if (x != y) {
            logger_.LogWarn(ARA_LOG_HERE)
                << "Configuration file " << path_ << ": section [" << name_ << "] names only "
                << (x ? "remapFilePathX" : "remapFilePathY")
                << "; undistortion needs both map files, so this camera streams without it";
        }
    }

  private:
    void fail(const char* key, const std::string& found, const std::string& expected) {
        logger_.LogError(ARA_LOG_HERE) << "Configuration file " << path_ << ": section [" << name_ << "] key "
                                       << key << " = " << found << ": expected " << expected;
        ok_ = false;
    }

    const boost::property_tree::ptree& section_;
    const std::string& path_;
    const std::string& name_;
    ara::log::Logger& logger_;
    bool ok_{true};
};

}  // namespace

std::string configurationPath(const std::string& directory) {
    return directory + "/aos_a_cam_config.ini";
}

ara::core::Result<boost::property_tree::ptree, ConfigurationReadError> readConfiguration(
    const std::string& path, ara::log::Logger& logger) {
    using Result = ara::core::Result<boost::property_tree::ptree, ConfigurationReadError>;
    // A FIFO or a device would block the reader or feed it for ever.
    if (const std::string problem = vcu::os::RegularFileProblem(path); !problem.empty()) {
        logger.LogError(ARA_LOG_HERE) << "Configuration file " << path << " unusable: " << problem;
        return Result::FromError(ConfigurationReadError::kUnusableFile);
    }
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    if (!file || !(content << file.rdbuf())) {
        logger.LogError(ARA_LOG_HERE)
            << "Configuration file " << path << " unusable: cannot open file: " << std::strerror(errno);
        return Result::FromError(ConfigurationReadError::kUnreadable);
    }
    std::istringstream text(withoutTrailingComments(content.str()));
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::ini_parser::read_ini(text, tree);
    } catch (const boost::property_tree::ini_parser::ini_parser_error& error) {
        logger.LogError(ARA_LOG_HERE)
            << "Configuration file " << path << " unusable: line " << error.line() << ": " << error.message();
        return Result::FromError(ConfigurationReadError::kMalformed);
    }
    return tree;
}

void warnUnknownEntries(const boost::property_tree::ptree& tree, const std::string& path,
                        ara::log::Logger& logger) {
    std::string unknown;
    for (const auto& [section, keys] : tree) {
        const bool known =
            section == "cam_8" || section == "cam_9" || section == "cam_10" || section == "cam_11";
        if (!known) {
            // A key before the first section becomes a child of the root without children of its own.
            unknown += (unknown.empty() ? "" : ", ") +
                       (keys.empty() ? "key " + section + " outside any section" : "[" + section + "]");
            continue;
        }
        for (const auto& entry : keys) {
            if (knownKeys().count(entry.first) == 0) {
                unknown += (unknown.empty() ? "[" : ", [") + section + "] key " + entry.first;
            }
        }
    }
    if (!unknown.empty()) {
        logger.LogWarn(ARA_LOG_HERE) << "Configuration file " << path << ": not used, ignored: " << unknown
                                     << " (known: sections cam_8 to cam_11 with the camera keys)";
    }
}

bool checkConfiguration(const boost::property_tree::ptree& tree, const std::string& path,
                        ara::log::Logger& logger) {
    warnUnknownEntries(tree, path, logger);
    bool ok = true;
    for (unsigned id = kFirstCameraId; id < kFirstCameraId + kCameraCount; ++id) {
        const std::string name = "cam_" + std::to_string(id);
        const auto section = tree.get_child_optional(boost::property_tree::ptree::path_type(name, '\0'));
        if (!section) {
            logger.LogError(ARA_LOG_HERE) << "Configuration file " << path << ": section [" << name
                                          << "] missing: expected one section per camera, cam_8 to cam_11";
            ok = false;
            continue;
        }
        SectionCheck check(*section, path, name, logger);
        const std::string inputSide = evenSides(kSmallestInputSide, "the media unit's NV12 pictures");
        const std::string outputSide = evenSides(kSmallestOutputSide, "the encoder's pictures");
        const auto inputWidth =
            check.number("inputImageWidth", kSmallestInputSide, kLargestSide, true, inputSide);
        const auto inputHeight =
            check.number("inputImageHeight", kSmallestInputSide, kLargestSide, true, inputSide);
        check.number("outputImageWidth", kSmallestOutputSide, kLargestSide, true, outputSide);
        check.number("outputImageHeight", kSmallestOutputSide, kLargestSide, true, outputSide);
        check.margin("cropTopOffset", inputHeight);
        check.margin("cropLeftOffset", inputWidth);
        check.number("encoderGopNumber", 0, MPU_VENC_MAX_GOP, false,
                     "frames per group of pictures, 0 (one key frame at the start) to " +
                         std::to_string(MPU_VENC_MAX_GOP));
        check.mapFiles();
        ok = ok && check.ok();
    }
    return ok;
}
