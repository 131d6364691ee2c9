#include "app/WindowsService.h"

#include "app/LogFile.h"
#include "app/Options.h"
#include "app/Program.h"
#include "app/Startup.h"
#include "platform/Windows.h"
#include "platform/win32/CommandLine.h"
#include "platform/win32/ServiceHandle.h"
#include "server/RecordingFolders.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vexar
{

namespace po = boost::program_options;

namespace
{

// The longest a removal waits for the service to stop.
constexpr std::chrono::seconds kStopTimeout(60);
// The wait hints the service gives the service manager.
constexpr DWORD kStartHint = 30000;
constexpr DWORD kStopHint = 30000;

[[noreturn]] void fail(const std::string& what, DWORD error)
{
    if (error == ERROR_ACCESS_DENIED)
        throw std::runtime_error(what + ": access denied (run as administrator)");
    throw std::runtime_error(what + ": error " + std::to_string(error));
}

std::string executablePath()
{
    std::vector<char> path(32768);
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        fail("could not find the program's path", GetLastError());
    return std::string(path.data(), length);
}

std::string executableFolder()
{
    return std::filesystem::path(executablePath()).parent_path().string();
}

std::string defaultLogPath(const std::string& name)
{
    return (std::filesystem::path(executableFolder()) / ("vexarhd-" + name + ".log")).string();
}

ServiceHandle openManager(DWORD access)
{
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, access));
    if (!manager)
        fail("could not open the service manager", GetLastError());
    return manager;
}

// The options of the command line as given, without "installservice" and
// with the file and folder names ("map", "mptsin", "spts", "mpts", "logfile",
// "recordingdirs") made absolute: a service starts in another folder.
// folders: --recordingdirs as the start-up checks took it.
std::vector<std::string> serviceArguments(int argc, const char* const argv[], const RecordingFolders& folders)
{
    const po::options_description description = makeOptionsDescription();
    const po::parsed_options parsed =
        po::command_line_parser(argc, argv).options(description).positional({}).run();
    std::vector<std::string> arguments;
    for (const po::option& option : parsed.options)
    {
        if (option.string_key == "installservice")
            continue;
        if (option.string_key == "runservice" || option.string_key == "uninstallservice")
            throw std::runtime_error("--installservice takes the options of a server-mode run only");
        const std::string& key = option.string_key;
        const bool isFile =
            key == "map" || key == "mptsin" || key == "spts" || key == "mpts" || key == "logfile";
        const bool given = !option.value.empty() && !option.value.front().empty();
        if (isFile && given)
        {
            arguments.push_back("--" + key);
            arguments.push_back(std::filesystem::absolute(option.value.front()).string());
        }
        else if (key == "recordingdirs" && given)
        {
            // Existing folders, made absolute by the start-up checks.
            arguments.push_back("--" + key);
            arguments.push_back(folders.list());
        }
        else
            arguments.insert(arguments.end(), option.original_tokens.begin(), option.original_tokens.end());
    }
    return arguments;
}

int installService(const std::string& name, int argc, const char* const argv[])
{
    // The same checks as a run of these options, the device left closed.
    const std::optional<StartupValues> values = startUp(argc, argv, true);
    if (!values)
        return 1; // the help
    if (!isServerMode(*values))
        throw std::runtime_error("a service runs server mode: give --serverport, and no --duration, --power, "
                                 "--on or --off");
    // A service under the system account, open to the network, would let
    // anyone who reaches the port write any file: say so.
    if (values->allowList.allowsAll() && values->recordingFolders.allowsAll())
        std::cerr << "Warning: neither --allowfrom nor --recordingdirs is given: anyone who reaches port "
                  << values->serverPort << " may record into any file this service may write" << std::endl;

    const std::vector<std::string> arguments = serviceArguments(argc, argv, values->recordingFolders);
    std::string commandLine =
        platform::quoteArgument(executablePath()) + " --runservice " + platform::quoteArgument(name);
    std::string logPath = defaultLogPath(name);
    for (std::size_t i = 0; i < arguments.size(); ++i)
    {
        commandLine += " " + platform::quoteArgument(arguments[i]);
        if (arguments[i] == "--logfile" && i + 1 < arguments.size())
            logPath = arguments[i + 1];
    }

    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    const ServiceHandle service(CreateServiceA(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                               nullptr, nullptr, nullptr));
    if (!service)
    {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME)
            throw std::runtime_error("a service of this name exists already: " + name);
        fail("could not install service " + name, error);
    }

    std::string description = "vexarhd SageTV network encoder, ";
    description += values->deviceMode() ? "capture device " + std::to_string(values->deviceNumber)
                                        : "MPTS file " + values->mptsInFileName;
    description += ", port " + std::to_string(values->serverPort);
    SERVICE_DESCRIPTIONA describe{description.data()};
    // Restarted a minute after a failure: a crash, or an end with an error.
    SC_ACTION restart[3] = {
        {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failureActions{24 * 60 * 60, nullptr, nullptr, 3, restart};
    SERVICE_FAILURE_ACTIONS_FLAG onErrorExits{TRUE};
    if (!ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &describe) ||
        !ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions))
    {
        const DWORD error = GetLastError();
        DeleteService(service.get());
        fail("could not configure service " + name, error);
    }
    // Not every service manager takes this one (wine does not).
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrorExits))
    {
        const DWORD error = GetLastError();
        std::cerr << "Warning: the service manager does not restart the service after an exit with an error "
                     "(error "
                  << error << "), only after a crash" << std::endl;
    }

    std::cout << "Installed service " << name << ": " << commandLine << std::endl;
    std::cout << "Log file: " << logPath << std::endl;
    std::cout << "Start it with: sc start " << name << std::endl;
    return 0;
}

int uninstallService(const std::string& name)
{
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(
        OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service)
    {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            throw std::runtime_error("no service of this name: " + name);
        fail("could not open service " + name, error);
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status))
        fail("could not query service " + name, GetLastError());
    if (status.dwCurrentState != SERVICE_STOPPED)
    {
        if (status.dwCurrentState != SERVICE_STOP_PENDING &&
            !ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
            GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
            fail("could not stop service " + name, GetLastError());
        const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
        while (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED)
        {
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("the service did not stop within a minute: " + name);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::cout << "Stopped service " << name << std::endl;
    }
    if (!DeleteService(service.get()))
        fail("could not remove service " + name, GetLastError());
    std::cout << "Removed service " << name << std::endl;
    return 0;
}

// The run the service manager started; ServiceMain and the control handler
// are plain callbacks, so what they share lives here.
struct ServiceRun
{
    std::string name;
    std::string logPath;
    int argc = 0;
    const char* const* argv = nullptr;
    StopSignals* stopSignals = nullptr;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    std::mutex statusMutex;
    bool stopped = false; // STOPPED reported: nothing is reported after it
    DWORD checkPoint = 0;
    int exitCode = 0;
};
ServiceRun g_run;

void reportStatus(DWORD state, DWORD waitHint = 0, int exitCode = 0)
{
    std::lock_guard<std::mutex> lock(g_run.statusMutex);
    if (g_run.stopped)
        return;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (exitCode != 0)
    {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode & 0xFF);
    }
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? ++g_run.checkPoint : 0;
    status.dwWaitHint = waitHint;
    g_run.stopped = state == SERVICE_STOPPED;
    SetServiceStatus(g_run.statusHandle, &status);
}

DWORD WINAPI serviceControl(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // The clean stop of the console events: the recording ended, every
        // queued chunk written, the files closed; then ServiceMain reports
        // STOPPED.
        reportStatus(SERVICE_STOP_PENDING, kStopHint);
        g_run.stopSignals->stop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, LPSTR*)
{
    g_run.statusHandle = RegisterServiceCtrlHandlerExA(g_run.name.c_str(), serviceControl, nullptr);
    if (!g_run.statusHandle)
    {
        g_run.exitCode = -1;
        return;
    }
    reportStatus(SERVICE_START_PENDING, kStartHint);
    {
        std::optional<LogRedirect> log;
        try
        {
            log.emplace(g_run.logPath, false);
        }
        catch (const std::exception&)
        {
            g_run.exitCode = -1;
        }
        if (log)
        {
            std::cout << "Service " << g_run.name << " starting" << std::endl;
            // A stop during start-up is carried out once the server is set up.
            reportStatus(SERVICE_RUNNING);
            g_run.exitCode = runFromCommandLine(g_run.argc, g_run.argv, *g_run.stopSignals);
            std::cout << "Service " << g_run.name << " stopped, exit code " << (g_run.exitCode & 0xFF)
                      << std::endl;
        }
    }
    reportStatus(SERVICE_STOPPED, 0, g_run.exitCode);
}

int runService(const std::string& name, const std::string& logPath, int argc, const char* const argv[],
               StopSignals& stopSignals)
{
    g_run.name = name;
    g_run.logPath = logPath;
    g_run.argc = argc;
    g_run.argv = argv;
    g_run.stopSignals = &stopSignals;
    // A service starts in the system folder; relative names are the
    // program's folder's.
    SetCurrentDirectoryA(executableFolder().c_str());
    SERVICE_TABLE_ENTRYA table[] = {{g_run.name.data(), serviceMain}, {nullptr, nullptr}};
    stopSignals.serviceMode();
    if (!StartServiceCtrlDispatcherA(table))
    {
        const DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            throw std::runtime_error("--runservice is the service manager's: install with --installservice, "
                                     "start with sc start");
        fail("could not connect to the service manager", error);
    }
    return g_run.exitCode;
}

std::string valueOf(const po::variables_map& options, const char* name)
{
    return options[name].as<std::string>();
}

} // namespace

int windowsMain(int argc, const char* const argv[], StopSignals& stopSignals)
{
    po::variables_map options;
    try
    {
        options = parseOptions(argc, argv, makeOptionsDescription());
    }
    catch (const std::exception&)
    {
        return runFromCommandLine(argc, argv, stopSignals); // reports the error as any run
    }
    if (options.count("help"))
        return runFromCommandLine(argc, argv, stopSignals);

    std::optional<LogRedirect> log;
    try
    {
        if (options.count("installservice") + options.count("uninstallservice") +
                options.count("runservice") >
            1)
            throw std::runtime_error("give one of --installservice, --uninstallservice and --runservice");
        if (options.count("installservice"))
            return installService(valueOf(options, "installservice"), argc, argv);
        if (options.count("uninstallservice"))
            return uninstallService(valueOf(options, "uninstallservice"));
        if (options.count("runservice"))
        {
            const std::string name = valueOf(options, "runservice");
            const std::string logPath =
                options.count("logfile") ? valueOf(options, "logfile") : defaultLogPath(name);
            return runService(name, logPath, argc, argv, stopSignals);
        }
        if (options.count("logfile"))
            log.emplace(valueOf(options, "logfile"), true);
    }
    catch (const std::exception& e)
    {
        std::cerr << "Exception occurred: " << e.what() << std::endl;
        return -1;
    }
    return runFromCommandLine(argc, argv, stopSignals);
}

} // namespace vexar
