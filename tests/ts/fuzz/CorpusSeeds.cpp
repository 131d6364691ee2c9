// Writes the seed inputs of the ts fuzz target: builder-made streams that
// reach the selection and the recording phase. Run once by hand:
//   ts_fuzz_seeds tests/ts/fuzz/corpus

#include "tests/ts/ScanHelpers.h"

#include <fstream>
#include <string>

using namespace vexar;

namespace
{
void write(const std::string& dir, const std::string& name, uint8_t wanted, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(dir + "/" + name, std::ios::binary);
    const uint8_t head[2] = {wanted, 1};
    out.write(reinterpret_cast<const char*>(head), 2);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const std::string dir = argv[1];
    write(dir, "three-programs-any", 0, threeProgramStream(2, 0, 0, 1).pes(258, 3).bytes());
    write(dir, "three-programs-wanted-scrambled", 1, threeProgramStream(2, 0, 0, 1).pes(256, 2, 2).bytes());

    const auto pat = patSection({{1, 4096}});
    PacketOptions af;
    af.adaptationLength = 175;
    StreamBuilder shortTemplate;
    shortTemplate.lead().pat(pat).pmt(4096, pmtSection(1, 256, {{2, 256, 20}})).pes(256).pat(pat, af);
    shortTemplate.pes(256).raw({0x00, 0x47}).nulls(1);
    write(dir, "short-pat-template", 1, shortTemplate.bytes());

    StreamBuilder c0;
    std::vector<uint8_t> withC0{0x00, 0xC0, 0x00, 0x02, 0x01, 0x02};
    const auto pmt = pmtSection(1, 7250, {{2, 7251}, {4, 7252, 3}}, 4);
    withC0.insert(withC0.end(), pmt.begin(), pmt.end());
    PacketOptions start;
    start.unitStart = true;
    c0.lead().pat(patSection({{1, 7250}, {2, 7250, 0x1000}})).packet(7250, withC0, start).pes(7251, 2, 3);
    c0.pat(patSection({{1, 7250}, {2, 7250, 0x1000}})).pes(7252);
    write(dir, "c0-section-pid-7250", 1, c0.bytes());
    return 0;
}
