// What ffprobe makes of a transport stream file, in a form a test can compare:
// one "program_id=N" line per program, then one "codec_name=C,id=0xPID" line
// per elementary stream, sorted.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

inline std::string commandOutput(const std::string& command)
{
    std::string text;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()))
        text += buffer;
    return text;
}

inline std::string probeSummary(const std::string& path)
{
    const std::string file = "'" + path + "'";
    return commandOutput("{ ffprobe -v error -show_entries program=program_id -of default=nw=1 " + file +
                         " | grep '^program_id='; ffprobe -v error -show_entries stream=id,codec_name -of default=nw=1 " +
                         file + " | paste -d, - - | sort -u; } 2>&1");
}
