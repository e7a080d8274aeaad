// tavrel-dde-client: a DDEML client driven by lines on standard input, one answer line per command, for the
// tests and the benchmark of tavrel-dde. With --raw it speaks the DDE messages itself, as spreadsheets do, and
// takes connect, disconnect, advise, unadvise, adviserange, format, latency and atoms.
//
//   connect TOPIC [SERVICE]     open a conversation (service Tavrel by default)  -> ok | error CODE NAME
//   format text|unicode|N|NAME  the clipboard format of later transactions
//   request ITEM                -> value TEXT | error CODE NAME
//   advise ITEM [warm|ack]      a hot link, or a warm one (XTYPF_NODATA), or one that acknowledges each advise
//                               (XTYPF_ACKREQ) -> ok | error CODE NAME; then "data ITEM TEXT" at each change
//   unadvise ITEM               -> ok | error CODE NAME
//   adviserange FIRST LAST      advise lblDDE(FIRST) to lblDDE(LAST) -> ok LINKS RETRIES
//   poke ITEM TEXT              -> ok | error CODE NAME
//   pokesize ITEM N             poke a text of N characters
//   execute TEXT                -> ok | error CODE NAME
//   latency on M | latency report  take every advised value as a time of day in milliseconds modulo M and
//                               record how long ago that was instead of printing it, then
//                               -> latency COUNT P50_MS P99_MS MAX_MS
//   atoms FIRST LAST            the references held to global atoms named lblDDE(FIRST) to lblDDE(LAST), counted by
//                               deleting them (for the end of a run: nothing in flight holds one then) -> atoms COUNT
//   disconnect | quit
// TEXT is the rest of the line, with \r, \n, \t and \\ read as escapes; values are printed the same way.
#include <windows.h>

#include <dde.h>
#include <ddeml.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

constexpr DWORD kTimeoutMs = 10000;
constexpr UINT kLineMessage = WM_APP + 1;
constexpr DWORD kSettleMs = 30;

DWORD g_instance = 0;
HCONV g_conversation = nullptr;
UINT g_format = CF_TEXT;
bool g_raw = false; // --raw: DDE messages, no DDEML
long long g_latencyModulus = 0; // milliseconds; 0: print advises
std::vector<double> g_latencies;
std::deque<std::string> g_lines;

std::string Narrow(const std::wstring& text)
{
    const int length
        = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                        nullptr);
    return narrow;
}

std::wstring Widen(const std::string& text, UINT codePage = CP_UTF8)
{
    const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string Escaped(const std::string& text)
{
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '\r':
            escaped += "\\r";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\\':
            escaped += "\\\\";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string Unescaped(const std::string& text)
{
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        const char next = text[++i];
        plain += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
    }
    return plain;
}

void Say(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string ErrorName(UINT error)
{
    switch (error) {
    case DMLERR_NOTPROCESSED:
        return "NOTPROCESSED";
    case DMLERR_NO_CONV_ESTABLISHED:
        return "NO_CONV_ESTABLISHED";
    case DMLERR_ADVACKTIMEOUT:
        return "ADVACKTIMEOUT";
    case DMLERR_DATAACKTIMEOUT:
        return "DATAACKTIMEOUT";
    case DMLERR_EXECACKTIMEOUT:
        return "EXECACKTIMEOUT";
    case DMLERR_POKEACKTIMEOUT:
        return "POKEACKTIMEOUT";
    case DMLERR_BUSY:
        return "BUSY";
    case DMLERR_INVALIDPARAMETER:
        return "INVALIDPARAMETER";
    case DMLERR_SERVER_DIED:
        return "SERVER_DIED";
    default:
        return "OTHER";
    }
}

std::string Failure()
{
    const UINT error = DdeGetLastError(g_instance);
    return "error " + std::to_string(error) + " " + ErrorName(error);
}

std::string Text(const BYTE* bytes, std::size_t size, UINT format)
{
    if (format == CF_UNICODETEXT) {
        std::wstring wide(size / 2, L'\0');
        std::memcpy(wide.data(), bytes, wide.size() * 2);
        return Narrow(wide.substr(0, wide.find(L'\0')));
    }
    std::string ansi(reinterpret_cast<const char*>(bytes), size);
    ansi = ansi.substr(0, ansi.find('\0'));
    return format == CF_TEXT ? Narrow(Widen(ansi, CP_ACP)) : ansi;
}

std::string Text(HDDEDATA data, UINT format)
{
    const DWORD size = DdeGetData(data, nullptr, 0, 0);
    std::vector<BYTE> bytes(size);
    DdeGetData(data, bytes.data(), size, 0);
    return Text(bytes.data(), bytes.size(), format);
}

std::string Name(HSZ handle)
{
    wchar_t name[256];
    const DWORD length = DdeQueryStringW(g_instance, handle, name, 256, CP_WINUNICODE);
    return Narrow(std::wstring(name, length));
}

long long NowMicros()
{
    FILETIME time;
    GetSystemTimePreciseAsFileTime(&time);
    const auto ticks = (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (ticks - 116444736000000000LL) / 10; // since 1970, as the simulator's writer counts
}

// An advised value: printed, or in latency mode taken as a time of day and timed.
void Advised(const std::string& item, const std::string& value)
{
    if (g_latencyModulus > 0) {
        const long long stamp = std::atoll(value.c_str());
        if (stamp > 0) {
            const long long modulus = g_latencyModulus * 1000;
            const long long delay = ((NowMicros() % modulus) - stamp * 1000 + modulus) % modulus;
            g_latencies.push_back(static_cast<double>(delay) / 1000.0);
        }
    } else {
        Say("data " + item + " " + Escaped(value));
    }
}

HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV, HSZ, HSZ item, HDDEDATA data, ULONG_PTR, ULONG_PTR)
{
    if (type == XTYP_ADVDATA) {
        Advised(Name(item), Text(data, format));
        return reinterpret_cast<HDDEDATA>(DDE_FACK);
    }
    if (type == XTYP_DISCONNECT) {
        Say("disconnected");
        g_conversation = nullptr;
    }
    return nullptr;
}

HDDEDATA Transact(const BYTE* data, DWORD size, const std::string& item, UINT type, DWORD* result = nullptr)
{
    HSZ handle = item.empty() ? nullptr : DdeCreateStringHandleW(g_instance, Widen(item).c_str(), CP_WINUNICODE);
    DWORD status = 0;
    HDDEDATA answer = DdeClientTransaction(const_cast<BYTE*>(data), size, g_conversation, handle,
                                           type == XTYP_EXECUTE ? 0 : g_format, type, kTimeoutMs, &status);
    if (result != nullptr) {
        *result = status;
    }
    if (handle != nullptr) {
        DdeFreeStringHandle(g_instance, handle);
    }
    return answer;
}

void Poke(const std::string& item, const std::string& text)
{
    std::vector<BYTE> bytes;
    if (g_format == CF_UNICODETEXT) {
        const std::wstring wide = Widen(text);
        bytes.resize((wide.size() + 1) * 2);
        std::memcpy(bytes.data(), wide.c_str(), bytes.size());
    } else {
        std::string ansi = text;
        if (g_format == CF_TEXT) {
            const std::wstring wide = Widen(text);
            const int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                                   nullptr, nullptr);
            ansi.assign(static_cast<std::size_t>(length), '\0');
            WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), ansi.data(), length, nullptr,
                                nullptr);
        }
        bytes.assign(ansi.begin(), ansi.end());
        bytes.push_back(0);
    }
    Say(Transact(bytes.data(), static_cast<DWORD>(bytes.size()), item, XTYP_POKE) ? "ok" : Failure());
}

// With --raw the conversation is held as a spreadsheet holds it: the DDE messages themselves, no DDEML. Items are
// found by their global atom, so each advise costs the same however many links there are.
namespace raw {

HWND g_window = nullptr;
HWND g_server = nullptr;
bool g_initiating = false;
bool g_acked = false;
bool g_positive = false;
bool g_terminating = false; // our WM_DDE_TERMINATE is posted
bool g_terminated = false; // and the server's has come
std::unordered_map<ATOM, std::string> g_items; // one reference of ours to each advised item's atom

// Pumps messages until `done` or the timeout; false on the timeout.
template<typename Done> bool PumpUntil(Done done)
{
    const DWORD until = GetTickCount() + kTimeoutMs;
    for (DWORD now = GetTickCount(); !done(); now = GetTickCount()) {
        if (static_cast<LONG>(until - now) <= 0) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, until - now, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

void Data(LPARAM lParam)
{
    UINT_PTR memory = 0;
    UINT_PTR atom = 0;
    UnpackDDElParam(WM_DDE_DATA, lParam, &memory, &atom);
    const auto handle = reinterpret_cast<HGLOBAL>(memory);
    bool release = false;
    bool ackRequested = false;
    if (auto* data = static_cast<DDEDATA*>(GlobalLock(handle)); data != nullptr) {
        release = data->fRelease != 0;
        ackRequested = data->fAckReq != 0;
        const SIZE_T size = GlobalSize(handle) - offsetof(DDEDATA, Value);
        const auto found = g_items.find(static_cast<ATOM>(atom));
        if (found != g_items.end() && !g_terminating) {
            Advised(found->second, Text(data->Value, size, static_cast<UINT>(data->cfFormat)));
        }
        GlobalUnlock(handle);
    }
    // Acknowledged: the atom goes back with the acknowledgement; otherwise it is ours to delete.
    const bool acked = ackRequested && !g_terminating
        && PostMessageW(g_server, WM_DDE_ACK, reinterpret_cast<WPARAM>(g_window),
                        ReuseDDElParam(lParam, WM_DDE_DATA, WM_DDE_ACK, DDE_FACK, atom));
    if (!acked) {
        FreeDDElParam(WM_DDE_DATA, lParam);
        GlobalDeleteAtom(static_cast<ATOM>(atom));
    }
    if (release && handle != nullptr) {
        GlobalFree(handle);
    }
}

LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam)
{
    const auto partner = reinterpret_cast<HWND>(wParam);
    if (message == WM_DDE_ACK && g_initiating) {
        // A server answers the initiate with atoms of its own for us to delete; a second server is let go.
        GlobalDeleteAtom(LOWORD(lParam));
        GlobalDeleteAtom(HIWORD(lParam));
        if (g_server == nullptr) {
            g_server = partner;
        } else {
            PostMessageW(partner, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(g_window), 0);
        }
    } else if (message == WM_DDE_ACK) {
        UINT_PTR status = 0;
        UINT_PTR atom = 0;
        UnpackDDElParam(WM_DDE_ACK, lParam, &status, &atom);
        FreeDDElParam(WM_DDE_ACK, lParam);
        GlobalDeleteAtom(static_cast<ATOM>(atom));
        g_positive = (status & DDE_FACK) != 0;
        g_acked = true;
    } else if (message == WM_DDE_DATA) {
        Data(lParam);
    } else if (message == WM_DDE_TERMINATE) {
        if (!g_terminating) {
            PostMessageW(partner, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(g_window), 0);
            g_terminating = true;
            Say("disconnected");
        }
        g_terminated = true;
    } else {
        return DefWindowProcW(g_window, message, wParam, lParam);
    }
    return 0;
}

std::string Disconnect()
{
    if (g_server == nullptr) {
        return "ok";
    }
    const bool answered = g_terminated
        || ((g_terminating = PostMessageW(g_server, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(g_window), 0))
            && PumpUntil([] { return g_terminated; }));
    for (const auto& [atom, name] : g_items) {
        GlobalDeleteAtom(atom);
    }
    g_items.clear();
    g_server = nullptr;
    return answered ? "ok" : "error 0 NO_TERMINATE";
}

std::string Connect(const std::string& topic, const std::string& service)
{
    Disconnect();
    g_terminating = false;
    g_terminated = false;
    const ATOM serviceAtom = GlobalAddAtomW(Widen(service).c_str());
    const ATOM topicAtom = GlobalAddAtomW(Widen(topic).c_str());
    g_initiating = true;
    SendMessageTimeoutW(HWND_BROADCAST, WM_DDE_INITIATE, reinterpret_cast<WPARAM>(g_window),
                        MAKELPARAM(serviceAtom, topicAtom), SMTO_ABORTIFHUNG, kTimeoutMs, nullptr);
    g_initiating = false;
    GlobalDeleteAtom(serviceAtom);
    GlobalDeleteAtom(topicAtom);
    return g_server != nullptr ? "ok" : "error 0 NO_CONV_ESTABLISHED";
}

// Posts a message that carries an item atom and waits for its acknowledgement.
bool Transact(UINT message, LPARAM lParam, ATOM atom)
{
    g_acked = false;
    if (g_server == nullptr || g_terminating
        || !PostMessageW(g_server, message, reinterpret_cast<WPARAM>(g_window), lParam)) {
        GlobalDeleteAtom(atom);
        return false;
    }
    return PumpUntil([] { return g_acked; }) && g_positive;
}

bool Advise(const std::string& item, const std::string& kind)
{
    HGLOBAL options = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, sizeof(DDEADVISE));
    auto* advise = static_cast<DDEADVISE*>(GlobalLock(options));
    advise->fDeferUpd = kind == "warm";
    advise->fAckReq = kind == "ack";
    advise->cfFormat = static_cast<short>(g_format);
    GlobalUnlock(options);
    // Two references: the message's, which the server and the acknowledgement use up, and the table's.
    const ATOM held = GlobalAddAtomW(Widen(item).c_str());
    const ATOM atom = GlobalAddAtomW(Widen(item).c_str());
    const LPARAM lParam = PackDDElParam(WM_DDE_ADVISE, reinterpret_cast<UINT_PTR>(options), atom);
    const bool made = Transact(WM_DDE_ADVISE, lParam, atom);
    if (!made || !g_items.emplace(held, item).second) {
        GlobalDeleteAtom(held);
    }
    if (!made) {
        GlobalFree(options); // refused or never taken, the options are still ours
    }
    if (!made && !g_acked) {
        FreeDDElParam(WM_DDE_ADVISE, lParam);
    }
    return made;
}

bool Unadvise(const std::string& item)
{
    const ATOM atom = GlobalAddAtomW(Widen(item).c_str());
    return Transact(WM_DDE_UNADVISE, MAKELPARAM(g_format, atom), atom);
}

} // namespace raw

void Settle();

bool Command(const std::string& line)
{
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    const auto restSpace = rest.find(' ');
    const std::string first = rest.substr(0, restSpace);
    const std::string tail = restSpace == std::string::npos ? std::string() : rest.substr(restSpace + 1);

    if (verb == "quit") {
        return false;
    }
    if (g_raw && (verb == "connect" || verb == "disconnect")) {
        Say(verb == "connect" ? raw::Connect(first, tail.empty() ? "Tavrel" : tail) : raw::Disconnect());
    } else if (g_raw && (verb == "advise" || verb == "unadvise")) {
        Say((verb == "advise" ? raw::Advise(first, tail) : raw::Unadvise(rest)) ? "ok" : "error 0 REFUSED");
    } else if (g_raw && verb == "adviserange") {
        int made = 0;
        for (long index = std::stol(first); index <= std::stol(tail); ++index) {
            made += raw::Advise("lblDDE(" + std::to_string(index) + ")", {});
        }
        Say("ok " + std::to_string(made) + " 0");
    } else if (g_raw && (verb == "request" || verb == "poke" || verb == "pokesize" || verb == "execute")) {
        Say("error 0 NOT_RAW");
    } else if (verb == "connect") {
        // One conversation at a time: DDEML turns down a second one to the same service and topic.
        if (g_conversation != nullptr) {
            DdeDisconnect(g_conversation);
            g_conversation = nullptr;
        }
        const std::string service = tail.empty() ? "Tavrel" : tail;
        HSZ serviceHandle = DdeCreateStringHandleW(g_instance, Widen(service).c_str(), CP_WINUNICODE);
        HSZ topicHandle = DdeCreateStringHandleW(g_instance, Widen(first).c_str(), CP_WINUNICODE);
        g_conversation = DdeConnect(g_instance, serviceHandle, topicHandle, nullptr);
        DdeFreeStringHandle(g_instance, serviceHandle);
        DdeFreeStringHandle(g_instance, topicHandle);
        Say(g_conversation != nullptr ? "ok" : Failure());
    } else if (verb == "disconnect") {
        DdeDisconnect(g_conversation);
        g_conversation = nullptr;
        Say("ok");
    } else if (verb == "format") {
        g_format = rest == "text" ? CF_TEXT
            : rest == "unicode"   ? CF_UNICODETEXT
            : !rest.empty() && std::isdigit(static_cast<unsigned char>(rest[0]))
            ? static_cast<UINT>(std::stoul(rest))
            : RegisterClipboardFormatW(Widen(rest).c_str());
        Say("ok");
    } else if (verb == "request") {
        HDDEDATA data = Transact(nullptr, 0, rest, XTYP_REQUEST);
        if (data == nullptr) {
            Say(Failure());
        } else {
            Say("value " + Escaped(Text(data, g_format)));
            DdeFreeDataHandle(data);
        }
    } else if (verb == "advise") {
        const UINT flags = tail == "warm" ? XTYPF_NODATA : tail == "ack" ? XTYPF_ACKREQ : 0;
        Say(Transact(nullptr, 0, first, XTYP_ADVSTART | flags) ? "ok" : Failure());
    } else if (verb == "unadvise") {
        Say(Transact(nullptr, 0, rest, XTYP_ADVSTOP) ? "ok" : Failure());
    } else if (verb == "adviserange") {
        // Wine's DDEML may fail an advise start whose acknowledgement meets the data of links made before it;
        // such a start is tried again, and the tries are counted.
        int made = 0;
        int retries = 0;
        for (long index = std::stol(first); index <= std::stol(tail); ++index) {
            for (int attempt = 0; attempt < 3; ++attempt) {
                retries += attempt > 0;
                const bool ok = Transact(nullptr, 0, "lblDDE(" + std::to_string(index) + ")", XTYP_ADVSTART) != nullptr;
                Settle();
                if (ok) {
                    ++made;
                    break;
                }
            }
        }
        Say("ok " + std::to_string(made) + " " + std::to_string(retries));
    } else if (verb == "poke") {
        Poke(first, Unescaped(tail));
    } else if (verb == "pokesize") {
        Poke(first, std::string(static_cast<std::size_t>(std::stoul(tail)), '7'));
    } else if (verb == "execute") {
        const std::wstring command = Widen(Unescaped(rest));
        Say(Transact(reinterpret_cast<const BYTE*>(command.c_str()), static_cast<DWORD>((command.size() + 1) * 2), {},
                     XTYP_EXECUTE)
                ? "ok"
                : Failure());
    } else if (verb == "latency") {
        if (first == "on") {
            g_latencyModulus = std::stoll(tail);
            g_latencies.clear();
            Say("ok");
        } else {
            std::vector<double> sorted = g_latencies;
            std::sort(sorted.begin(), sorted.end());
            const auto at = [&](double share) {
                return sorted.empty()
                    ? 0.0
                    : sorted[std::min(sorted.size() - 1,
                                      static_cast<std::size_t>(share * static_cast<double>(sorted.size())))];
            };
            char text[128];
            std::snprintf(text, sizeof text, "latency %zu %.2f %.2f %.2f", sorted.size(), at(0.5), at(0.99),
                          sorted.empty() ? 0.0 : sorted.back());
            Say(text);
        }
    } else if (verb == "atoms") {
        long long count = 0;
        for (long index = std::stol(first); index <= std::stol(tail); ++index) {
            const std::wstring name = Widen("lblDDE(" + std::to_string(index) + ")");
            for (ATOM atom = GlobalFindAtomW(name.c_str()); atom != 0 && GlobalDeleteAtom(atom) == 0;
                 atom = GlobalFindAtomW(name.c_str())) {
                ++count;
            }
        }
        Say("atoms " + std::to_string(count));
    } else {
        Say("error 0 UNKNOWN_COMMAND");
    }
    return true;
}

// Wine's DDEML finishes a transaction with messages of its own after the call returns: a client that starts
// the next one at once may find the last one's conversation in a state it does not expect.
void Settle()
{
    const DWORD until = GetTickCount() + kSettleMs;
    for (DWORD now = GetTickCount(); static_cast<LONG>(until - now) > 0; now = GetTickCount()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, until - now, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_raw && message >= WM_DDE_FIRST && message <= WM_DDE_LAST) {
        return raw::Message(message, wParam, lParam);
    }
    if (message == kLineMessage) {
        // Queued, not run: a transaction's own message loop may be dispatching this.
        std::string* line = reinterpret_cast<std::string*>(lParam);
        g_lines.push_back(std::move(*line));
        delete line;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int main(int argc, char** argv)
{
    g_raw = argc > 1 && std::string(argv[1]) == "--raw";
    if (!g_raw && DdeInitializeW(&g_instance, Callback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) {
        Say("error DdeInitialize");
        return 1;
    }
    WNDCLASSW windowClass {};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TavrelDdeTestClient";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    raw::g_window = window;
    std::thread reader([window] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            PostMessageW(window, kLineMessage, 0, reinterpret_cast<LPARAM>(new std::string(line)));
        }
        PostMessageW(window, kLineMessage, 0, reinterpret_cast<LPARAM>(new std::string("quit")));
    });
    reader.detach();
    Say("ready");

    MSG message;
    bool running = true;
    while (running && GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
        while (running && !g_lines.empty()) {
            const std::string line = std::move(g_lines.front());
            g_lines.pop_front();
            running = Command(line);
            Settle();
        }
    }
    if (g_raw) {
        raw::Disconnect();
    } else {
        if (g_conversation != nullptr) {
            DdeDisconnect(g_conversation);
        }
        DdeUninitialize(g_instance);
    }
    std::fflush(stdout);
    ExitProcess(0);
}
