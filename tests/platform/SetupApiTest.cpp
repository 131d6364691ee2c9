// Device-interface enumeration over a device namespace of our own.
#include "platform/Windows.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace vexar
{

namespace
{

const GUID kClass = {0x96FCECA3, 0x810E, 0x4DA2, {0x8E, 0x92, 0x33, 0xE1, 0x29, 0xFF, 0xC2, 0x76}};
const GUID kOtherClass = {0x96FCECA3, 0x810E, 0x4DA2, {0x8E, 0x92, 0x33, 0xE1, 0x29, 0xFF, 0xC2, 0x77}};

class SetupApi : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vexarhd-devns-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        ::setenv("VEXARHD_DEVICE_DIR", m_dir.c_str(), 1);
    }
    void TearDown() override
    {
        for (int fd : m_listening)
            ::close(fd);
        ::unsetenv("VEXARHD_DEVICE_DIR");
        std::filesystem::remove_all(m_dir);
    }

    std::string classFolder() const { return m_dir + "/{96FCECA3-810E-4DA2-8E92-33E129FFC276}"; }

    // A device interface whose server listens for as long as the test runs.
    void addEntry(const std::string& name) { m_listening.push_back(bindSocket(name, true)); }

    // The socket a server that was killed leaves behind.
    void addStaleEntry(const std::string& name) { ::close(bindSocket(name, false)); }

    int bindSocket(const std::string& name, bool listen) const
    {
        std::filesystem::create_directories(classFolder());
        const std::string path = classFolder() + "/" + name;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
        if (listen)
        {
            EXPECT_EQ(::listen(fd, 8), 0);
        }
        return fd;
    }

    // Device paths of the class, in enumeration order.
    static std::vector<std::string> enumerate(const GUID& guid,
                                              DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)
    {
        std::vector<std::string> paths;
        HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        for (DWORD index = 0;; ++index)
        {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data))
            {
                EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
                break;
            }
            DWORD required = 0;
            EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
            EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
            std::vector<std::uint64_t> storage(required / 8 + 1);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            // One byte short is still too small.
            EXPECT_FALSE(
                SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, nullptr, nullptr));
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof info;
            EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, &info));
            paths.emplace_back(detail->DevicePath);
            EXPECT_EQ(paths.back().size() + 1 + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
                      required);
        }
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set)) << "a destroyed set is gone";
        return paths;
    }

    std::string m_dir;
    std::vector<int> m_listening;
};

TEST_F(SetupApi, NoFolderMeansNoDevices)
{
    EXPECT_TRUE(enumerate(kClass).empty());
}

TEST_F(SetupApi, EntriesInNameOrderWithFullPaths)
{
    addEntry("usb-b");
    addEntry("usb-c");
    addEntry("usb-a");
    addEntry(".hidden");
    EXPECT_EQ(enumerate(kClass), (std::vector<std::string>{classFolder() + "/usb-a", classFolder() + "/usb-b",
                                                           classFolder() + "/usb-c"}));
}

// A stale socket would otherwise take device number 0.
TEST_F(SetupApi, PresentDevicesAreThoseAServerListensOn)
{
    addStaleEntry("usb-a");
    addEntry("usb-b");
    EXPECT_EQ(enumerate(kClass), std::vector<std::string>{classFolder() + "/usb-b"});
    EXPECT_EQ(enumerate(kClass, DIGCF_DEVICEINTERFACE),
              (std::vector<std::string>{classFolder() + "/usb-a", classFolder() + "/usb-b"}));
}

TEST_F(SetupApi, OtherClassesSeeNothing)
{
    addEntry("usb-a");
    EXPECT_TRUE(enumerate(kOtherClass).empty());
}

TEST_F(SetupApi, SetIsASnapshot)
{
    addEntry("usb-a");
    HDEVINFO set = SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    addEntry("usb-b");
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 1, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

} // namespace vexar
