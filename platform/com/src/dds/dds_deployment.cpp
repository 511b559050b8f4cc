#include "vrt/cm/dds/dds_deployment.h"

namespace vrt::cm::dds {

namespace {

bool IsLetter(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

}  // namespace

bool IsTopicPart(std::string_view name) noexcept {
    if (name.empty() || name.front() == '/' || name.back() == '/') {
        return false;
    }
    bool tokenStart = true;
    char previous = '\0';
    for (const char c : name) {
        if (c == '/') {
            if (tokenStart) {
                return false;  // "//"
            }
            tokenStart = true;
        } else if (IsLetter(c) || c == '_' || (IsDigit(c) && !tokenStart)) {
            if (c == '_' && previous == '_') {
                return false;
            }
            tokenStart = false;
        } else {
            return false;
        }
        previous = c;
    }
    return true;
}

std::string TopicName(const DdsDeployment& deployment, std::string_view recordTopic, int camera) {
    std::string name = "rt/";
    if (!deployment.prefix.empty()) {
        name += deployment.prefix;
        name += '/';
    }
    if (camera >= 0) {
        name += "cam_" + std::to_string(camera) + "/";
    }
    name += deployment.topic.empty() ? recordTopic : std::string_view(deployment.topic);
    return name;
}

}  // namespace vrt::cm::dds
