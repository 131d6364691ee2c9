// Catches what this process writes to standard output and standard error, at
// the descriptors, so that the writes of every thread and of C stdio land here
// too: from construction until finish() or the end of the object.
#pragma once

#include "tests/support/TempDir.h"

#include <string>

namespace vexar
{

class ConsoleCapture
{
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Ends the capture; the console is the process's own again.
    void finish();
    // What was written so far, during the capture and after it.
    std::string out() const;
    std::string err() const;

private:
    TempDir m_dir;
    int m_savedOut = -1;
    int m_savedErr = -1;
};

} // namespace vexar
