#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "QuelmCore/EsDescriptor.hpp"

namespace quelm {
namespace {

TEST(EsDescriptor, WrapsTheConfigurationAsAnAudioStream) {
    const Bytes asc{0x11, 0x90};  // AAC-LC, 48 kHz, stereo
    const Bytes expected{
        0x03, 0x19, 0x00, 0x00, 0x00,                    // ES_Descriptor, ES_ID 0, no flags
        0x04, 0x11, 0x40, 0x15,                          // DecoderConfig: MPEG-4 audio stream
        0x00, 0x00, 0x00,                                // buffer size
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // maximum and average bit rate
        0x05, 0x02, 0x11, 0x90,                          // DecoderSpecificInfo
        0x06, 0x01, 0x02,                                // SLConfig, predefined
    };
    EXPECT_EQ(EsDescriptor::wrap(asc), expected);
    EXPECT_EQ(EsDescriptor::unwrap(expected), asc);
}

TEST(EsDescriptor, RoundTripsEveryLengthForm) {
    // 200 bytes need two-byte lengths; 20000 three-byte ones.
    for (std::size_t size : {1u, 5u, 100u, 200u, 20000u}) {
        Bytes asc(size);
        for (std::size_t i = 0; i < size; ++i) {
            asc[i] = static_cast<std::uint8_t>(i * 7 + 1);
        }
        const Bytes wrapped = EsDescriptor::wrap(asc);
        EXPECT_EQ(EsDescriptor::unwrap(wrapped), asc) << size;
        // Bytes after the descriptor do not matter.
        Bytes trailing = wrapped;
        trailing.push_back(0x00);
        EXPECT_EQ(EsDescriptor::unwrap(trailing), asc) << size;
    }
}

TEST(EsDescriptor, ReadsOtherWritersForms) {
    const Bytes asc{0x12, 0x08};  // AAC-LC, 44.1 kHz, mono
    const std::vector<Bytes> forms{
        // Four-byte lengths and a stream id, as audio converters write them.
        {0x03, 0x80, 0x80, 0x80, 0x22, 0x00, 0x01, 0x00, 0x04, 0x80, 0x80, 0x80, 0x14,
         0x40, 0x15, 0x00, 0x18, 0x00, 0x00, 0x01, 0xF4, 0x00, 0x00, 0x01, 0xF4, 0x00,
         0x05, 0x80, 0x80, 0x80, 0x02, 0x12, 0x08, 0x06, 0x80, 0x80, 0x80, 0x01, 0x02},
        // Dependence, URL and OCR fields before the configuration; MPEG-2 AAC LC.
        {0x03, 0x1E, 0x00, 0x01, 0xE0, 0x00, 0x02, 0x03, 'a',  'b', 'c',
         0x00, 0x03, 0x04, 0x11, 0x67, 0x15, 0,    0,    0,    0,   0,
         0,    0,    0,    0,    0,    0,    0x05, 0x02, 0x12, 0x08},
        // Another descriptor ahead of the configuration, and one ahead of the specific info.
        {0x03, 0x1D, 0x00, 0x00, 0x00, 0x0A, 0x01, 0xFF, 0x04, 0x15, 0x40, 0x15, 0,    0,    0,   0,
         0,    0,    0,    0,    0,    0,    0,    0x13, 0x02, 0xAA, 0xBB, 0x05, 0x02, 0x12, 0x08},
    };
    for (std::size_t i = 0; i < forms.size(); ++i) {
        EXPECT_EQ(EsDescriptor::unwrap(forms[i]), asc) << i;
    }
}

TEST(EsDescriptor, RefusesMalformedDescriptors) {
    const Bytes good = EsDescriptor::wrap(Bytes{0x11, 0x90});
    auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    const std::vector<Bytes> bad{
        {},
        Bytes{0x11, 0x90},                     // a bare configuration
        changed(0, 0x04),                      // not an ES_Descriptor
        changed(1, 0x1A),                      // outer length past the end
        changed(6, 0x20),                      // configuration length past its container
        changed(7, 0x20),                      // MPEG-4 video
        changed(20, 0x06),                     // no specific info
        changed(21, 0x00),                     // empty specific info
        changed(21, 0x07),                     // specific info past its container
        changed(4, 0x40),                      // a URL flag that swallows the configuration
        {0x03, 0x80, 0x80, 0x80, 0x80, 0x00},  // five length bytes
        {0x03, 0x80},                          // length cut short
        {0x03, 0x02, 0x00, 0x00},              // ES_Descriptor too short for its fields
        {0x03, 0x0A, 0x00, 0x00, 0x00, 0x04, 0x05, 0x40, 0x15, 0, 0, 0},  // configuration too short
    };
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(EsDescriptor::unwrap(bad[i])) << i;
    }
    // No prefix of a good descriptor that cuts into it is taken for one.
    for (std::size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(EsDescriptor::unwrap(Bytes(good.begin(), good.begin() + n))) << n;
    }
}

}  // namespace
}  // namespace quelm
