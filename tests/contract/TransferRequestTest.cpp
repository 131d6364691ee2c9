// The transfer header and the remote-control code format, byte by byte.
#include "contract/TransferRequest.h"
#include "contract/ButtonCode.h"
#include "contract/InitSequence.h"

#include <gtest/gtest.h>

#include <vector>

namespace vexar
{

namespace
{

TEST(TransferRequestTest, HeaderIsZeroedAndFilledLittleEndian)
{
    std::vector<std::uint8_t> buffer(kTransferHeaderSize + 4, 0xEE);
    fillTransferRequest(buffer.data(), streamEndpoint, 0x00020000);
    const std::vector<std::uint8_t> expected = {0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, // reserved
                                                0x82,                                              // endpoint
                                                0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0,    // reserved
                                                0,    0,    0,    0,     // reserved, written as 0
                                                38,   0,    0,    0,     // data offset
                                                0x00, 0x00, 0x02, 0x00,  // data length 131072
                                                0xEE, 0xEE, 0xEE, 0xEE}; // data area untouched
    EXPECT_EQ(buffer, expected);

    const TransferFields fields = readTransferRequest(buffer.data());
    EXPECT_EQ(fields.endpoint, streamEndpoint);
    EXPECT_EQ(fields.dataOffset, 38u);
    EXPECT_EQ(fields.dataLength, READ_DATA_SIZE);
    EXPECT_TRUE(fields.reservedZero);
    buffer[20] = 1;
    EXPECT_FALSE(readTransferRequest(buffer.data()).reservedZero);
}

TEST(TransferRequestTest, TransferSizeRecordNamesTheStreamEndpointAndSize)
{
    std::uint8_t record[5] = {};
    fillTransferSizeRequest(record);
    EXPECT_EQ(std::vector<std::uint8_t>(record, record + 5),
              (std::vector<std::uint8_t>{0x82, 0x00, 0x00, 0x02, 0x00}));
}

TEST(ButtonCodeTest, DigitOneHasTheDocumentedBytes)
{
    const std::vector<std::uint8_t> expected = {
        0x00, 0x23, 0x0A, 0x80, 0x00, 0x00, 0x5A, 0x28, 0x05, 0x28, 0x05, 0x14, 0x05, 0x14,
        0x05, 0x14, 0x05, 0x14, 0x05, 0x14, 0x05, 0x14, 0x05, 0x14, 0x05, 0x14, 0x05, 0x14,
        0x05, 0x14, 0x05, 0x14, 0x05, 0x28, 0x05, 0x28, 0x05, 0x28, 0x05, 0x28, 0x05};
    EXPECT_EQ(buttonCode(kMotorolaDctDigitValues[1]), expected);
}

TEST(ButtonCodeTest, EveryBoxCodeDecodesBackAndDamagedCodesDoNot)
{
    for (std::uint16_t value : kMotorolaDctDigitValues)
    {
        const auto code = buttonCode(value);
        ASSERT_EQ(code.size(), 41u);
        EXPECT_EQ(decodeButtonCode(code.data(), code.size()), value);
    }
    auto code = buttonCode(kMotorolaDctPowerValue);
    EXPECT_EQ(decodeButtonCode(code.data(), code.size()), kMotorolaDctPowerValue);
    EXPECT_EQ(decodeButtonCode(code.data(), 40), std::nullopt);
    code[9] = 0x20; // neither a 1 nor a 0 bit
    EXPECT_EQ(decodeButtonCode(code.data(), code.size()), std::nullopt);
    code = buttonCode(0x1234);
    code[40] = 0x06;
    EXPECT_EQ(decodeButtonCode(code.data(), code.size()), std::nullopt);
}

TEST(InitSequenceTest, ThirteenCommandsWithTheirLengthsAndRepeats)
{
    const auto& sequence = initSequence();
    ASSERT_EQ(sequence.size(), 13u);
    const std::size_t lengths[] = {64, 64, 64, 64, 6, 64, 64, 64, 64, 6, 64, 64, 1};
    for (std::size_t i = 0; i < 13; ++i)
        EXPECT_EQ(sequence[i].size(), lengths[i]) << "command " << i;
    for (std::size_t i = 1; i <= 4; ++i)
        EXPECT_EQ(sequence[i], sequence[i + 5]) << "command " << i;
    EXPECT_NE(kInitBlockA, kInitBlockB);
    EXPECT_TRUE(std::equal(kInitBlockA.begin(), kInitBlockA.end(), sequence[0].begin() + 6));
    EXPECT_TRUE(std::equal(kInitBlockB.begin(), kInitBlockB.end(), sequence[5].begin() + 6));
    EXPECT_EQ(sequence[0][57], 0x80);
    EXPECT_EQ(sequence[11],
              (std::vector<std::uint8_t>{0x08, 0x01, 0x00, 0x00, 0x01, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sequence[12], std::vector<std::uint8_t>{0x20});
}

} // namespace

} // namespace vexar
