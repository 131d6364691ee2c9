// What ffprobe makes of a transport stream file, in a form a test can compare:
// one "program_id=N" line per program, then one "codec_name=C,id=0xPID" line
// per elementary stream, sorted.
#pragma once

#include "tests/support/CommandOutput.h"

#include <string>

namespace vexar
{

inline std::string probeSummary(const std::string& path)
{
    const std::string file = "'" + hostPath(path) + "'";
    return commandOutput("{ ffprobe -v error -show_entries program=program_id -of default=nw=1 " + file +
                         " | grep '^program_id='; ffprobe -v error -show_entries stream=id,codec_name -of "
                         "default=nw=1 " +
                         file + " | paste -d, - - | sort -u; } 2>&1")
        .text;
}

} // namespace vexar
