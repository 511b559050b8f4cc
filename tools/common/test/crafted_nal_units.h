#pragma once

// Hand-made H.264 and H.265 access units with exactly the header fields a test needs: parameter sets and
// slice headers written bit by bit, escaped as Annex B requires. For the tests of what the tools read from
// encoded frames.

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace camera_tools::test {

// Writes the fields of one NAL unit and escapes its payload as Annex B requires.
class NalWriter {
  public:
    explicit NalWriter(std::vector<std::uint8_t> header) : header_(std::move(header)) {}

    NalWriter& Bits(std::uint64_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            bits_.push_back(((value >> i) & 1U) != 0);
        }
        return *this;
    }
    NalWriter& Unsigned(std::uint32_t value) {
        const std::uint64_t code = std::uint64_t{value} + 1U;
        int length = 0;
        while ((code >> (length + 1)) != 0) {
            ++length;
        }
        return Bits(0, length).Bits(code, length + 1);
    }
    NalWriter& Signed(std::int32_t value) {
        return Unsigned(value > 0 ? static_cast<std::uint32_t>(2 * value - 1)
                                  : static_cast<std::uint32_t>(-2 * value));
    }

    // Start code, header, the payload with its stop bit, 03 after every two zero bytes before a byte up to 3.
    std::vector<std::uint8_t> Unit() const {
        std::vector<bool> bits = bits_;
        bits.push_back(true);
        while (bits.size() % 8 != 0) {
            bits.push_back(false);
        }
        std::vector<std::uint8_t> unit{0, 0, 0, 1};
        unit.insert(unit.end(), header_.begin(), header_.end());
        int zeros = 0;
        for (std::size_t i = 0; i < bits.size(); i += 8) {
            std::uint8_t byte = 0;
            for (std::size_t j = 0; j < 8; ++j) {
                byte = static_cast<std::uint8_t>(byte << 1U | (bits[i + j] ? 1U : 0U));
            }
            if (zeros >= 2 && byte <= 3) {
                unit.push_back(3);
                zeros = 0;
            }
            unit.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return unit;
    }

  private:
    std::vector<std::uint8_t> header_;
    std::vector<bool> bits_;
};

inline std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> units) {
    std::vector<std::uint8_t> joined;
    for (const auto& unit : units) {
        joined.insert(joined.end(), unit.begin(), unit.end());
    }
    return joined;
}

// A High profile sequence parameter set with scaling lists (which the reader must step over) and
// MaxFrameNum = 2^log2MaxFrameNum.
inline std::vector<std::uint8_t> H264Sps(std::uint32_t log2MaxFrameNum) {
    NalWriter sps({0x67});
    sps.Bits(100, 8).Bits(0, 8).Bits(40, 8).Unsigned(1);  // profile, constraints, level, id 1
    sps.Unsigned(1).Unsigned(0).Unsigned(0).Bits(0, 1);   // 4:2:0, 8 bits, no bypass
    sps.Bits(1, 1);                                       // scaling matrices
    sps.Bits(1, 1);                                       // list 0: 16 deltas
    for (int i = 0; i < 16; ++i) {
        sps.Signed(i % 2 == 0 ? 3 : -1);
    }
    sps.Bits(0, 5).Bits(1, 1).Signed(-8).Bits(0, 1);  // lists 1-5 absent, 6 ends at once, 7 absent
    sps.Unsigned(log2MaxFrameNum - 4).Unsigned(0).Unsigned(0);
    return sps.Unit();
}

inline std::vector<std::uint8_t> H264Pps() {
    return NalWriter({0x68}).Unsigned(5).Unsigned(1).Bits(0, 6).Unit();  // picture set 5 of sequence set 1
}

inline std::vector<std::uint8_t> H264Slice(bool idr, std::uint32_t frameNum, std::uint32_t log2MaxFrameNum,
                                           std::uint32_t firstMb = 0, bool reference = true) {
    const std::uint8_t header = static_cast<std::uint8_t>((reference ? 0x60U : 0x00U) | (idr ? 5U : 1U));
    return NalWriter({header})
        .Unsigned(firstMb)
        .Unsigned(idr ? 7 : 5)
        .Unsigned(5)
        .Bits(frameNum, static_cast<int>(log2MaxFrameNum))
        .Bits(0x5A, 8)
        .Unit();
}

// A key frame carries its parameter sets, the others only their slice.
inline std::vector<std::uint8_t> H264Frame(bool idr, std::uint32_t frameNum,
                                           std::uint32_t log2MaxFrameNum = 5) {
    if (idr) {
        return Join({H264Sps(log2MaxFrameNum), H264Pps(), H264Slice(true, 0, log2MaxFrameNum)});
    }
    return H264Slice(false, frameNum, log2MaxFrameNum);
}

// An H.265 sequence parameter set with two sub-layers' profile and level fields before the fields the reader
// needs, MaxPicOrderCntLsb = 2^log2MaxPocLsb.
inline std::vector<std::uint8_t> H265Sps(std::uint32_t log2MaxPocLsb) {
    NalWriter sps({0x42, 0x01});
    sps.Bits(0, 4).Bits(2, 3).Bits(1, 1);                  // VPS id, three sub-layers, nesting
    sps.Bits(0x01, 8).Bits(0x60000000, 32).Bits(0xB0, 8);  // general profile, compatibility, flags
    sps.Bits(0, 40).Bits(93, 8);                           // the rest of the flags, level
    sps.Bits(0b1101, 4).Bits(0, 12);                       // sub-layer profile/level present, reserved bits
    sps.Bits(0xFFFFFFFF, 32).Bits(0xFFFFFFFF, 32).Bits(0xFFFFFF, 24).Bits(90, 8).Bits(87, 8);
    sps.Unsigned(3).Unsigned(1).Unsigned(352).Unsigned(288);         // id 3, 4:2:0, size
    sps.Bits(1, 1).Unsigned(0).Unsigned(0).Unsigned(0).Unsigned(2);  // conformance window
    sps.Unsigned(0).Unsigned(0).Unsigned(log2MaxPocLsb - 4).Bits(0, 4);
    return sps.Unit();
}

inline std::vector<std::uint8_t> H265Pps() {
    // Picture set 9 of sequence set 3, output flag present, two extra slice header bits.
    return NalWriter({0x44, 0x01}).Unsigned(9).Unsigned(3).Bits(0, 1).Bits(1, 1).Bits(2, 3).Bits(0, 6).Unit();
}

inline std::vector<std::uint8_t> H265Slice(std::uint32_t type, std::uint32_t pocLsb,
                                           std::uint32_t log2MaxPocLsb) {
    NalWriter slice({static_cast<std::uint8_t>(type << 1U), 0x01});
    slice.Bits(1, 1);  // the picture's first slice segment
    if (type >= 16 && type <= 23) {
        slice.Bits(0, 1);
    }
    slice.Unsigned(9).Bits(0b10, 2).Unsigned(1).Bits(1, 1);  // picture set, extra bits, P slice, output
    if (type != 19 && type != 20) {
        slice.Bits(pocLsb, static_cast<int>(log2MaxPocLsb));
    }
    return slice.Bits(0x3C, 8).Unit();
}

inline std::vector<std::uint8_t> H265Frame(bool idr, std::uint32_t pocLsb, std::uint32_t log2MaxPocLsb = 6) {
    if (idr) {
        return Join({H265Sps(log2MaxPocLsb), H265Pps(), H265Slice(19, 0, log2MaxPocLsb)});
    }
    return H265Slice(1, pocLsb, log2MaxPocLsb);
}

}  // namespace camera_tools::test
