// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes. Its path is kept short, since device
// sockets are made inside it and a socket path is limited to about 100 bytes.
// And reading a file back whole, as text or as bytes.
#pragma once

#include <cstdint>
#include <string>

namespace vexar
{

class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    // Writes the file (binary); throws when it cannot.
    void write(const std::string& name, const std::string& contents) const;

private:
    std::string m_path;
};

// The whole file, empty when there is none; in text mode, so that on Windows
// the CR LF line ends of a program's output read as the LF the tests expect.
std::string readText(const std::string& path);
// The whole file as it is (a recording, say), empty when there is none.
std::string readBinary(const std::string& path);
// The size of the file, 0 when there is none.
std::uint64_t fileSize(const std::string& path);

} // namespace vexar
