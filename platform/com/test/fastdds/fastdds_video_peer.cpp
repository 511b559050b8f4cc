// An independent DDS peer on eProsima Fast DDS (another RTPS implementation, as a ROS 2 node on
// rmw_fastrtps would be), for the DDS binding's interoperability tests. Its types come from the project's IDL
// through fastddsgen; it finds the topics by name and type name only.
//
//   fastdds_video_peer subscribe <domain> <prefix> <cameras> <frames> <width> <height> <qos> <timeoutMs>
//   [peer [address]]
//       reads rt/<prefix>/cam_<id>/video for each camera of the comma-separated list and decodes every sample
//       with FFmpeg; prints "ready" once its readers exist, "matched <n>" as writers match, and per camera
//       "camera <id> received <n> decoded <n> errors <n> size <w>x<h> format <f> frame_id <id>" at the end.
//       Exit status 0 when every camera received <frames> samples and decoded them all at <width>x<height>
//       (qos reliable), or at least half of them (qos sensor_data, which may lose samples).
//   fastdds_video_peer publish-malformed <domain> <prefix> <camera> <count> [peer [address]]
//       writes <count> samples, 50 ms apart, under the CompressedVideo type name whose data length runs past
//       the sample, once a reader matches; prints "sent <count>".
//
// [peer]: an IPv4 address to announce to (unicast discovery), for networks without multicast; [address]: the
// only interface to use (its address), so that the peer announces nothing the other side cannot reach.
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <fastrtps/utils/IPLocator.h>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/DataWriterListener.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CompressedVideoPubSubTypes.h"

namespace {

using namespace eprosima::fastdds::dds;
using Clock = std::chrono::steady_clock;
using Video = foxglove_msgs::msg::dds_::CompressedVideo_;

std::vector<int> Cameras(const std::string& list) {
    std::vector<int> cameras;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        cameras.push_back(std::stoi(item));
    }
    return cameras;
}

std::string TopicOf(const std::string& prefix, int camera) {
    return "rt/" + prefix + "/cam_" + std::to_string(camera) + "/video";
}

DomainParticipant* MakeParticipant(int domain, const std::string& peer, const std::string& address) {
    DomainParticipantQos qos;
    qos.name("fastdds_video_peer");
    qos.transport().use_builtin_transports = false;
    auto udp = std::make_shared<eprosima::fastdds::rtps::UDPv4TransportDescriptor>();
    if (!address.empty()) {
        udp->interfaceWhiteList.push_back(address);
    }
    qos.transport().user_transports.push_back(udp);
    qos.wire_protocol().builtin.discovery_config.leaseDuration = eprosima::fastrtps::Duration_t(2, 0);
    qos.wire_protocol().builtin.discovery_config.leaseDuration_announcementperiod =
        eprosima::fastrtps::Duration_t(0, 250000000);
    if (!peer.empty()) {
        eprosima::fastrtps::rtps::Locator_t locator;
        locator.kind = LOCATOR_KIND_UDPv4;
        eprosima::fastrtps::rtps::IPLocator::setIPv4(locator, peer);
        qos.wire_protocol().builtin.initialPeersList.push_back(locator);
        qos.wire_protocol().builtin.avoid_builtin_multicast = true;
    }
    return DomainParticipantFactory::get_instance()->create_participant(domain, qos);
}

// One camera's stream: its FFmpeg decoder and what came of it.
struct CameraStream {
    int camera{0};
    AVCodecContext* decoder{nullptr};
    AVPacket* packet{av_packet_alloc()};
    AVFrame* frame{av_frame_alloc()};
    int received{0};
    int decoded{0};
    int errors{0};
    int width{0};
    int height{0};
    int wrongSize{0};
    std::string format;
    std::string frameId;

    ~CameraStream() {
        avcodec_free_context(&decoder);
        av_packet_free(&packet);
        av_frame_free(&frame);
    }

    void Drain(int expectedWidth, int expectedHeight) {
        while (avcodec_receive_frame(decoder, frame) == 0) {
            ++decoded;
            width = frame->width;
            height = frame->height;
            wrongSize += (frame->width != expectedWidth || frame->height != expectedHeight) ? 1 : 0;
        }
    }

    void Decode(const Video& sample, int expectedWidth, int expectedHeight) {
        ++received;
        format = sample.format();
        frameId = sample.frame_id();
        if (decoder == nullptr) {
            const AVCodec* codec =
                avcodec_find_decoder(format == "h265" ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
            decoder = avcodec_alloc_context3(codec);
            decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
            if (avcodec_open2(decoder, codec, nullptr) != 0) {
                ++errors;
                return;
            }
        }
        packet->data = const_cast<std::uint8_t*>(sample.data().data());
        packet->size = static_cast<int>(sample.data().size());
        if (avcodec_send_packet(decoder, packet) != 0) {
            ++errors;
        }
        Drain(expectedWidth, expectedHeight);
    }

    void Flush(int expectedWidth, int expectedHeight) {
        if (decoder != nullptr && avcodec_send_packet(decoder, nullptr) == 0) {
            Drain(expectedWidth, expectedHeight);
        }
    }
};

class VideoListener : public DataReaderListener {
  public:
    VideoListener(CameraStream& stream, int width, int height, std::mutex& mutex)
        : stream_(stream), width_(width), height_(height), mutex_(mutex) {}

    void on_data_available(DataReader* reader) override {
        Video sample;
        SampleInfo info;
        while (reader->take_next_sample(&sample, &info) == ReturnCode_t::RETCODE_OK) {
            if (info.valid_data) {
                std::lock_guard<std::mutex> lock(mutex_);
                stream_.Decode(sample, width_, height_);
            }
        }
    }

    void on_subscription_matched(DataReader* /*reader*/, const SubscriptionMatchedStatus& status) override {
        if (status.current_count_change > 0) {
            std::cout << "matched " << ++matchedTotal << std::endl;
        }
    }

    static std::atomic<int> matchedTotal;

  private:
    CameraStream& stream_;
    int width_;
    int height_;
    std::mutex& mutex_;
};
std::atomic<int> VideoListener::matchedTotal{0};

int Subscribe(int argc, char** argv) {
    if (argc < 10) {
        return 64;
    }
    const int domain = std::stoi(argv[2]);
    const std::string prefix = argv[3];
    const std::vector<int> cameras = Cameras(argv[4]);
    const int frames = std::stoi(argv[5]);
    const int width = std::stoi(argv[6]);
    const int height = std::stoi(argv[7]);
    const bool reliable = std::string(argv[8]) == "reliable";
    const auto timeout = std::chrono::milliseconds(std::stoi(argv[9]));
    const std::string peer = argc > 10 ? argv[10] : "";
    const std::string address = argc > 11 ? argv[11] : "";

    DomainParticipant* participant = MakeParticipant(domain, peer, address);
    if (participant == nullptr) {
        std::cout << "no participant" << std::endl;
        return 2;
    }
    TypeSupport type(new foxglove_msgs::msg::dds_::CompressedVideo_PubSubType());
    type.register_type(participant);
    Subscriber* subscriber = participant->create_subscriber(SUBSCRIBER_QOS_DEFAULT);
    DataReaderQos qos = DATAREADER_QOS_DEFAULT;
    qos.reliability().kind = reliable ? RELIABLE_RELIABILITY_QOS : BEST_EFFORT_RELIABILITY_QOS;
    qos.durability().kind = VOLATILE_DURABILITY_QOS;
    qos.history().kind = KEEP_LAST_HISTORY_QOS;
    qos.history().depth = 100;

    std::mutex mutex;
    std::map<int, CameraStream> streams;
    std::vector<std::unique_ptr<VideoListener>> listeners;
    for (const int camera : cameras) {
        streams[camera].camera = camera;
        Topic* topic =
            participant->create_topic(TopicOf(prefix, camera), type.get_type_name(), TOPIC_QOS_DEFAULT);
        listeners.push_back(std::make_unique<VideoListener>(streams[camera], width, height, mutex));
        if (topic == nullptr ||
            subscriber->create_datareader(topic, qos, listeners.back().get()) == nullptr) {
            std::cout << "no reader for " << TopicOf(prefix, camera) << std::endl;
            return 2;
        }
    }
    std::cout << "ready" << std::endl;

    const auto deadline = Clock::now() + timeout;
    const auto done = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& entry : streams) {
            if (entry.second.received < frames) {
                return false;
            }
        }
        return true;
    };
    while (!done() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    participant->delete_contained_entities();
    DomainParticipantFactory::get_instance()->delete_participant(participant);

    bool ok = true;
    for (auto& [camera, stream] : streams) {
        stream.Flush(width, height);
        std::cout << "camera " << camera << " received " << stream.received << " decoded " << stream.decoded
                  << " errors " << stream.errors << " size " << stream.width << "x" << stream.height
                  << " format " << stream.format << " frame_id " << stream.frameId << std::endl;
        const int needed = reliable ? frames : frames / 2;
        ok = ok && stream.received >= needed && stream.decoded >= needed && stream.wrongSize == 0 &&
             (!reliable || stream.errors == 0);
    }
    return ok ? 0 : 1;
}

// The CompressedVideo type name with a sample whose data length claims more bytes than follow.
class MalformedVideoType : public TopicDataType {
  public:
    MalformedVideoType() {
        setName("foxglove_msgs::msg::dds_::CompressedVideo_");
        m_typeSize = 64;
        m_isGetKeyDefined = false;
    }
    bool serialize(void* /*data*/, eprosima::fastrtps::rtps::SerializedPayload_t* payload) override {
        const std::uint8_t bytes[] = {
            0x00, 0x01, 0x00, 0x00,                                                 // CDR_LE
            0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,                         // timestamp
            0x06, 0x00, 0x00, 0x00, 'c',  'a',  'm',  '_',  '0', 0x00, 0x00, 0x00,  // frame_id
            0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01,  // data: 16 MiB claimed, 4 bytes follow
        };
        std::memcpy(payload->data, bytes, sizeof(bytes));
        payload->length = sizeof(bytes);
        payload->encapsulation = CDR_LE;
        return true;
    }
    bool deserialize(eprosima::fastrtps::rtps::SerializedPayload_t* /*payload*/, void* /*data*/) override {
        return false;
    }
    std::function<uint32_t()> getSerializedSizeProvider(void* /*data*/) override {
        return [] { return 64U; };
    }
    void* createData() override { return new char[1]; }
    void deleteData(void* data) override { delete[] static_cast<char*>(data); }
    bool getKey(void* /*data*/, eprosima::fastrtps::rtps::InstanceHandle_t* /*handle*/,
                bool /*md5*/) override {
        return false;
    }
};

int PublishMalformed(int argc, char** argv) {
    if (argc < 6) {
        return 64;
    }
    const int domain = std::stoi(argv[2]);
    const std::string prefix = argv[3];
    const int camera = std::stoi(argv[4]);
    const int count = std::stoi(argv[5]);
    const std::string peer = argc > 6 ? argv[6] : "";
    const std::string address = argc > 7 ? argv[7] : "";
    DomainParticipant* participant = MakeParticipant(domain, peer, address);
    if (participant == nullptr) {
        return 2;
    }
    TypeSupport type(new MalformedVideoType());
    type.register_type(participant);
    Topic* topic =
        participant->create_topic(TopicOf(prefix, camera), type.get_type_name(), TOPIC_QOS_DEFAULT);
    Publisher* publisher = participant->create_publisher(PUBLISHER_QOS_DEFAULT);
    DataWriterQos qos = DATAWRITER_QOS_DEFAULT;
    qos.reliability().kind = RELIABLE_RELIABILITY_QOS;
    DataWriter* writer = publisher->create_datawriter(topic, qos);
    if (writer == nullptr) {
        return 2;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    PublicationMatchedStatus status;
    while (Clock::now() < deadline &&
           (writer->get_publication_matched_status(status), status.current_count == 0)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status.current_count == 0) {
        std::cout << "no reader" << std::endl;
        return 2;
    }
    // Spread over a while: a reader only gets what is written once it has matched the writer itself, which
    // may be a moment after the writer matched it.
    char unused = 0;
    for (int i = 0; i < count; ++i) {
        writer->write(&unused);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    writer->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(5, 0));
    std::cout << "sent " << count << std::endl;
    participant->delete_contained_entities();
    DomainParticipantFactory::get_instance()->delete_participant(participant);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "subscribe") {
        return Subscribe(argc, argv);
    }
    if (mode == "publish-malformed") {
        return PublishMalformed(argc, argv);
    }
    std::cerr << "usage: fastdds_video_peer subscribe|publish-malformed ...\n";
    return 64;
}
