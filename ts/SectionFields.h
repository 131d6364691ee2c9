#pragma once
// The fields of the program-specific information sections that the section
// parser reads and the new PAT is built from (ISO/IEC 13818-1): byte offsets
// counted from a section's table_id, and readers of the fields wider than a
// byte. Whoever reads a field checks first that its bytes lie in the buffer.

#include <cstdint>

namespace vexar
{

// Every section.
constexpr int kTableIdAt = 0;         // byte 0, 8 bits
constexpr int kSectionLengthAt = 1;   // byte 1 bits 3-0 and byte 2, 12 bits; byte 1 bits 7-4 hold
                                      // section_syntax_indicator, '0' and 2 reserved bits
constexpr int kSectionHeaderSize = 3; // table_id and section_length: what section_length does not count
constexpr int kCrc32Size = 4;         // CRC_32, the section's last 4 bytes

// program_association_section.
constexpr int kTransportStreamIdAt = 3; // bytes 3-4, 16 bits; then version_number and
                                        // current_next_indicator (byte 5), section_number (6)
                                        // and last_section_number (7)
constexpr int kPatEntriesAt = 8;        // the first program entry
constexpr int kPatEntrySize = 4;        // program_number (16 bits), 3 reserved bits and
                                        // program_map_PID (13 bits)

// TS_program_map_section.
constexpr int kProgramInfoLengthAt = 10; // byte 10 bits 3-0 and byte 11, 12 bits
constexpr int kProgramDescriptorsAt = 12;

// One elementary-stream entry of a PMT, counted from its first byte.
constexpr int kStreamTypeAt = 0;      // byte 0, 8 bits
constexpr int kElementaryPidAt = 1;   // bytes 1-2: 3 reserved bits and elementary_PID, 13 bits
constexpr int kEsInfoLengthAt = 3;    // byte 3 bits 3-0 and byte 4, 12 bits
constexpr int kEsEntryHeaderSize = 5; // then ES_info_length descriptor bytes

// A 12-bit length field (section_length, program_info_length,
// ES_info_length): the low 4 bits of at[0], then at[1].
inline int lengthField(const uint8_t* at)
{
    return ((at[0] & 0x0F) << 8) | at[1];
}

// A 16-bit word, most significant byte first (program_number; a PID with
// the 3 reserved bits above it).
inline uint16_t word16(const uint8_t* at)
{
    return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

} // namespace vexar
