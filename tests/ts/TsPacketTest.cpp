#include "ts/TsPacket.h"
#include "tests/ts/StreamBuilder.h"
#include "ts/Crc32.h"
#include "ts/HexDump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace vexar
{

TEST(TsPacketFields, HeaderBitsDecodeToTheirFields)
{
    PacketOptions o;
    o.unitStart = true;
    o.transportError = true;
    o.scrambling = 3;
    o.adaptationLength = 7;
    const TsPacket p = makePacket(0x1ABC, 9, {0xAA}, o);
    EXPECT_EQ(p.pid(), 0x1ABC);
    EXPECT_TRUE(p.payloadUnitStart());
    EXPECT_TRUE(p.transportError());
    EXPECT_EQ(p.scramblingControl(), 3);
    EXPECT_TRUE(p.hasAdaptationField());
    EXPECT_EQ(p.continuityCounter(), 9);
    EXPECT_EQ(p.payloadOffset(), 12);
    EXPECT_EQ(p.bytes[12], 0xAA);

    const TsPacket plain = makePacket(0x0011, 0, {});
    EXPECT_EQ(plain.pid(), 0x11);
    EXPECT_FALSE(plain.payloadUnitStart());
    EXPECT_FALSE(plain.transportError());
    EXPECT_EQ(plain.scramblingControl(), 0);
}

TEST(TsPacketFields, PayloadOffsetStaysInsideThePacket)
{
    PacketOptions noPayload;
    noPayload.payload = false;
    noPayload.adaptationLength = 183;
    EXPECT_EQ(makePacket(1, 0, {}, noPayload).payloadOffset(), -1);
    EXPECT_EQ(makePacket(1, 0, {}).payloadOffset(), 4);

    PacketOptions o;
    o.adaptationLength = 182; // one payload byte left
    EXPECT_EQ(makePacket(1, 0, {}, o).payloadOffset(), 187);
    o.adaptationLength = 183; // payload would start at 188
    EXPECT_EQ(makePacket(1, 0, {}, o).payloadOffset(), -1);
    EXPECT_FALSE(makePacket(1, 0, {}, o).hasPayload());
    o.adaptationLength = 255;
    EXPECT_EQ(makePacket(1, 0, {}, o).payloadOffset(), -1);
}

TEST(MpegCrc32, KnownVectors)
{
    const char* check = "123456789";
    EXPECT_EQ(mpegCrc32(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
    EXPECT_EQ(mpegCrc32(nullptr, 0), 0xFFFFFFFFu);
    const uint8_t zero = 0;
    EXPECT_EQ(mpegCrc32(&zero, 1), 0x4E08BFB4u);
    // A PAT as broadcast: one program 1 on PID 0x1000, transport_stream_id 1.
    const uint8_t pat[] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00};
    EXPECT_EQ(mpegCrc32(pat, sizeof pat), 0x2AB104B2u);
}

TEST(MpegCrc32, WholeSectionWithItsCrcGivesZero)
{
    for (const auto& section : {patSection({{1, 4096}}), patSection({{1, 4096}, {2, 4097}, {3, 4098}}, 7, 5),
                                pmtSection(1, 256, {{2, 256}, {3, 257, 6}}, 11)})
    {
        EXPECT_EQ(mpegCrc32(section.data(), section.size()), 0u);
        std::vector<uint8_t> damaged = section;
        damaged[4] ^= 0x01;
        EXPECT_NE(mpegCrc32(damaged.data(), damaged.size()), 0u);
    }
}

TEST(HexDump, BytesAreLowerCaseWithoutLeadingZerosSixteenPerLine)
{
    std::ostringstream out;
    hexDumpBytes(out, {0x00, 0x0A, 0xFF, 0x47});
    out << 255;
    EXPECT_EQ(out.str(), "0,a,ff,47\n255");

    std::vector<uint8_t> sixteen(16);
    for (int i = 0; i < 16; ++i)
        sixteen[i] = static_cast<uint8_t>(i);
    std::ostringstream full;
    hexDumpBytes(full, sixteen);
    EXPECT_EQ(full.str(), "0,1,2,3,4,5,6,7,8,9,a,b,c,d,e,f\n\n");

    std::ostringstream empty;
    hexDumpBytes(empty, {});
    EXPECT_EQ(empty.str(), "\n");
}

TEST(HexDump, PacketIsElevenFullLinesAndOneOfTwelve)
{
    TsPacket p;
    for (std::size_t i = 0; i < kTsPacketSize; ++i)
        p.bytes[i] = static_cast<uint8_t>(i);
    std::ostringstream out;
    hexDumpPacket(out, p);
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12);
    EXPECT_EQ(text.substr(0, 36), "0,1,2,3,4,5,6,7,8,9,a,b,c,d,e,f\n10,1");
    EXPECT_EQ(text.substr(text.size() - 36), "b0,b1,b2,b3,b4,b5,b6,b7,b8,b9,ba,bb\n");
}

} // namespace vexar
