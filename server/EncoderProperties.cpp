#include "server/EncoderProperties.h"

#include <iterator>
#include <utility>

namespace vexar
{

namespace
{

// SageTV's capture-feature bits: the device delivers a finished MPEG-2
// transport stream ("pure" capture, as digital-TV devices do), audio and
// video in one stream. The hardware-encoder bit (0x0002) is not set: SageTV
// would then take the device for an encoder card and offer to set its
// encoding quality, which a cable box's stream does not have.
constexpr unsigned kMpegPureCapture = 0x2000;
constexpr unsigned kMpegAvCapture = 0x0800;

// The one input, as SageTV names inputs: crossbar type and index. Type 80
// is an HDMI input, that is an external source (the cable box) that the
// encoder tunes itself: SageTV gives such an input the channel numbers of a
// line-up, up to 9999, and finds them with AUTOTUNE per channel. An RF tuner
// (1) or a digital tuner (100) would get SageTV's RF channel range instead
// (cable ends at 158), which leaves most cable channels unreachable.
constexpr const char* kInputType = "80";
constexpr const char* kInputIndex = "0";

} // namespace

std::string encoderProperties(const std::string& encoderId, const std::string& encoderName,
                              const std::string& host)
{
    const std::string input = std::string(kInputType) + "/" + kInputIndex + "/";
    const std::pair<std::string, std::string> keys[] = {
        // How SageTV reaches us: the address it used to ask, and our port.
        {"encoding_host", host},
        // The name SageTV lists the source under, and the device's number
        // under that name (one device per encoder, so no " #N" in its name).
        {"video_capture_device_name", encoderName},
        {"video_capture_device_num", "0"},
        {"capture_config", std::to_string(kMpegPureCapture | kMpegAvCapture)},
        // The input SageTV selects, and that input's own keys, from which
        // SageTV takes its type (without them it would make an RF tuner).
        {"last_cross_type", kInputType},
        {"last_cross_index", kInputIndex},
        {input + "video_crossbar_type", kInputType},
        {input + "video_crossbar_index", kInputIndex},
        // The encoder waits for the box after each channel change
        // (--delayafterchannel) before it records, so SageTV need not.
        {"delay_to_wait_after_tuning", "0"},
        // Back-to-back recordings and live-TV channel changes come as SWITCH:
        // on the same channel the stream goes on into the next file.
        {"fast_network_encoder_switch", "true"},
        {"never_stop_encoding", "false"},
    };
    const std::string prefix = "mmc/encoders/" + encoderId + "/";
    std::string response = std::to_string(std::size(keys));
    for (const auto& [key, value] : keys)
        response += "\r\n" + prefix + key + "=" + value;
    return response;
}

} // namespace vexar
