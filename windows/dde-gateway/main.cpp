// tavrel-dde: the DDE server "Tavrel" on Windows, relaying every transaction to a Tavrel link server.
//
//   tavrel-dde [--server [https://]HOST:PORT] [--ca-file FILE | --pin-sha256 HEX] [--token-file FILE] [--log FILE]
//
// Started from a console it prints what it does there; started without one (a shortcut, the Startup folder)
// it runs quietly and logs to %LOCALAPPDATA%\Tavrel\tavrel-dde.log unless --log says otherwise.
#include "CertificateCheck.h"
#include "DdeServer.h"
#include "LinkClient.h"
#include "Log.h"
#include "Options.h"
#include "Text.h"

#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

using namespace tavrel::dde;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitAlreadyRunning = 3;
constexpr int kExitFailed = 1;

std::atomic<DdeServer*> g_server = nullptr;

bool Usable(HANDLE handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// Standard output if the program has one (a console, a pipe, a file), else the console of the program that
// started it, else none.
HANDLE FindOutput()
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (Usable(output)) {
        return output;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        if (Usable(output)) {
            return output;
        }
    }
    return nullptr;
}

// A message for the user: on the console if there is one, else in a message box.
void Tell(HANDLE output, const std::string& text, bool error)
{
    if (output != nullptr) {
        DWORD written = 0;
        DWORD mode = 0;
        if (GetConsoleMode(output, &mode)) {
            const std::wstring wide = Widen(text);
            WriteConsoleW(output, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
        } else {
            WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        }
        return;
    }
    MessageBoxW(nullptr, Widen(text).c_str(), L"tavrel-dde", MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

std::wstring DefaultLogFile()
{
    wchar_t folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return L"tavrel-dde.log";
    }
    const std::wstring tavrel = std::wstring(folder) + L"\\Tavrel";
    CreateDirectoryW(tavrel.c_str(), nullptr);
    return tavrel + L"\\tavrel-dde.log";
}

BOOL WINAPI ConsoleControl(DWORD)
{
    if (DdeServer* server = g_server.load()) {
        server->Stop();
        return TRUE;
    }
    return FALSE;
}

} // namespace

int main()
{
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; argv != nullptr && i < count; ++i) {
        arguments.emplace_back(argv[i]);
    }
    LocalFree(argv);

    const HANDLE output = FindOutput();
    Options options;
    if (const auto error = ReadOptions(arguments, options)) {
        Tell(output, "tavrel-dde: " + *error + "\n" + kUsage, true);
        return kExitUsage;
    }
    if (options.help) {
        Tell(output, kUsage, false);
        return 0;
    }
    if (CertificateCheck check; const auto error = CertificateCheck::Load(options, check)) {
        Tell(output, "tavrel-dde: " + *error + "\n", true);
        return kExitUsage;
    }
    std::string token;
    if (!options.tokenFile.empty()) {
        if (const auto error = ReadToken(options.tokenFile, token)) {
            Tell(output, "tavrel-dde: " + *error + "\n", true);
            return kExitUsage;
        }
    }

    // One gateway per Windows session: a second would fight the first for the DDE service name.
    KernelHandle instanceMutex(CreateMutexW(nullptr, FALSE, L"Local\\tavrel-dde"));
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        Tell(output, "tavrel-dde: tavrel-dde is already running in this session\n", true);
        return kExitAlreadyRunning;
    }

    Log log;
    log.SetOutput(output);
    const std::wstring logFile = !options.logFile.empty() ? options.logFile
        : output == nullptr                               ? DefaultLogFile()
                                                          : std::wstring();
    if (!logFile.empty()) {
        if (const std::string error = log.OpenFile(logFile); !error.empty()) {
            Tell(output, "tavrel-dde: " + error + "\n", true);
            return kExitUsage;
        }
    }

    // The link thread tells the DDE thread of news through this pointer; cleared before either goes.
    std::atomic<DdeServer*> server = nullptr;
    auto link = std::make_unique<LinkClient>(options, token, log, [&server] {
        if (DdeServer* dde = server.load()) {
            dde->LinkChanged();
        }
    });
    auto dde = std::make_unique<DdeServer>(*link, log);
    if (const std::string error = dde->Start(); !error.empty()) {
        log.Line("tavrel-dde: " + error);
        return kExitFailed;
    }
    server = dde.get();
    g_server = dde.get();
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    log.Line("DDE server Tavrel ready (topics Items and System); link server " + link->Url());
    link->Start();
    const int code = dde->Run();
    g_server = nullptr;
    server = nullptr;
    link.reset();
    dde.reset();
    log.Line("tavrel-dde stopped");
    return code;
}
