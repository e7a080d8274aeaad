#include "LinkTransport.h"

#include "Excerpt.h"
#include "Text.h"

#include "common/LinkProtocol.h"

namespace tavrel::dde {

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kUpgradeAnswerTimeoutMs = 10000;
constexpr std::size_t kReceiveChunk = 64 * 1024;

// What the certificate callback of one request found.
struct CertificateJudgement
{
    const CertificateCheck* check = nullptr;
    std::string failure;
};

// Once the TLS handshake is done and before the request (with the token) leaves: a certificate that the check does
// not trust ends the request there.
void CALLBACK JudgeCertificate(HINTERNET request, DWORD_PTR context, DWORD status, LPVOID, DWORD)
{
    if (status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || context == 0) {
        return;
    }
    auto* judgement = reinterpret_cast<CertificateJudgement*>(context);
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)
        || certificate == nullptr) {
        judgement->failure = "it showed no certificate";
    } else {
        if (const auto why = judgement->check->Judge(certificate)) {
            judgement->failure = *why;
        }
        CertFreeCertificateContext(certificate);
    }
    if (!judgement->failure.empty()) {
        WinHttpCloseHandle(request);
    }
}

std::string ErrorText(DWORD error)
{
    // The common ones by name: not every system has WinHTTP's message texts.
    switch (error) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
        return "cannot connect (error 12029)";
    case ERROR_WINHTTP_TIMEOUT:
        return "timed out (error 12002)";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return "host name not found (error 12007)";
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return "connection reset or closed (error 12030)";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return "invalid answer from the server (error 12152)";
    case ERROR_WINHTTP_SECURE_FAILURE:
        return "its TLS certificate is not trusted (error 12175); for one of your own, give --ca-file or --pin-sha256";
    default:
        break;
    }
    wchar_t* text = nullptr;
    const HMODULE winhttp = GetModuleHandleW(L"winhttp.dll");
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS
        | (winhttp != nullptr && error >= WINHTTP_ERROR_BASE && error <= WINHTTP_ERROR_LAST
               ? FORMAT_MESSAGE_FROM_HMODULE
               : FORMAT_MESSAGE_FROM_SYSTEM);
    const DWORD length = FormatMessageW(flags, winhttp, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (length > 0 && text != nullptr) {
        message = Narrow(WithoutLineEnd(std::wstring(text, length)));
        LocalFree(text);
    }
    return message.empty() ? "error " + std::to_string(error) : message + " (error " + std::to_string(error) + ")";
}

} // namespace

LinkTransport::LinkTransport(const Options& options, std::string token)
    : m_options(options)
    , m_token(std::move(token))
    , m_chunk(kReceiveChunk)
{
    (void)CertificateCheck::Load(m_options, m_check); // main has said why it would not load
}

std::string LinkTransport::Url() const
{
    const std::string host = Narrow(m_options.host);
    const bool v6 = host.find(':') != std::string::npos;
    return (m_options.tls ? "wss://" : "ws://") + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(m_options.port)
        + std::string(protocol::kItemsPath);
}

std::optional<LinkTransport::Exchange> LinkTransport::Get(const std::wstring& path, bool upgrade, DWORD expected,
                                                          int answerTimeoutMs, std::string& error) const
{
    Exchange exchange;
    exchange.session.Reset(WinHttpOpen(L"tavrel-dde/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!exchange.session) {
        error = ErrorText(GetLastError());
        return std::nullopt;
    }
    WinHttpSetTimeouts(exchange.session.Get(), kConnectTimeoutMs, kConnectTimeoutMs, kConnectTimeoutMs,
                       answerTimeoutMs);
    exchange.connection.Reset(WinHttpConnect(exchange.session.Get(), m_options.host.c_str(), m_options.port, 0));
    if (!exchange.connection) {
        error = ErrorText(GetLastError());
        return std::nullopt;
    }
    exchange.request.Reset(WinHttpOpenRequest(exchange.connection.Get(), L"GET", path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              m_options.tls ? WINHTTP_FLAG_SECURE : 0));
    if (!exchange.request
        || (upgrade && !WinHttpSetOption(exchange.request.Get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0))) {
        error = ErrorText(GetLastError());
        return std::nullopt;
    }
    // A certificate of the plant's own making is judged by the gateway, not by Windows, on a request of its own that
    // carries no token; the request with the token then goes over that same connection, kept by WinHTTP. A new
    // connection for it would be judged by Windows, which does not trust such a certificate: it fails before
    // anything is sent. The judgement is made again as the request leaves, should Windows trust another one.
    CertificateJudgement judgement { &m_check, {} };
    if (m_options.tls && m_check.Active()) {
        if (auto untrusted = Probe(exchange.connection.Get())) {
            error = "the link server is not trusted: " + *untrusted;
            return std::nullopt;
        }
        if (WinHttpSetStatusCallback(exchange.request.Get(), JudgeCertificate, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0)
            == WINHTTP_INVALID_STATUS_CALLBACK) {
            error = ErrorText(GetLastError());
            return std::nullopt;
        }
    }
    std::wstring headers = upgrade ? std::wstring() : L"Accept: application/json";
    if (!m_token.empty()) {
        headers += (headers.empty() ? L"" : L"\r\n") + (L"Authorization: Bearer " + Widen(m_token));
    }
    const bool sent
        = WinHttpSendRequest(exchange.request.Get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                             headers.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0,
                             reinterpret_cast<DWORD_PTR>(&judgement));
    if (!judgement.failure.empty()) {
        exchange.request.Release(); // closed by the callback
        error = "the link server is not trusted: " + judgement.failure;
        return std::nullopt;
    }
    if (!sent || !WinHttpReceiveResponse(exchange.request.Get(), nullptr)) {
        error = ErrorText(GetLastError());
        return std::nullopt;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(exchange.request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        error = "no HTTP status in the answer: " + ErrorText(GetLastError());
        return std::nullopt;
    }
    if (status != expected) {
        char body[512];
        DWORD read = 0;
        std::string reason;
        if (WinHttpReadData(exchange.request.Get(), body, sizeof body, &read)) {
            reason = Excerpt(std::string_view(body, read), 200);
        }
        error = "the server answered " + std::to_string(status) + (reason.empty() ? "" : ": " + reason)
            + (status == 401 || status == 403
                   ? (m_token.empty() ? " (it wants a token: --token-file)" : " (the token was refused)")
                   : "");
        return std::nullopt;
    }
    return exchange;
}

std::optional<std::string> LinkTransport::Probe(HINTERNET connection) const
{
    std::string narrowPath = "/";
    for (const std::string_view part : { protocol::kPathRoot, protocol::kService, protocol::kSystemTopic }) {
        narrowPath.append(part).append("/");
    }
    const std::wstring path = Widen(narrowPath + "Running");
    InternetHandle probe(WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    if (!probe || !WinHttpSetOption(probe.Get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)
        || !WinHttpSendRequest(probe.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
        || !WinHttpReceiveResponse(probe.Get(), nullptr)) {
        return ErrorText(GetLastError());
    }
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    if (!WinHttpQueryOption(probe.Get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)
        || certificate == nullptr) {
        return "it showed no certificate";
    }
    auto untrusted = m_check.Judge(certificate);
    CertFreeCertificateContext(certificate);
    if (untrusted) {
        return untrusted;
    }
    // The answer read to its end, so that the connection is free for the next request.
    char discard[4096];
    DWORD read = 0;
    while (WinHttpReadData(probe.Get(), discard, sizeof discard, &read) && read > 0) { }
    return std::nullopt;
}

std::optional<LinkTransport::Socket> LinkTransport::Connect(std::string& error) const
{
    auto exchange = Get(Widen(protocol::kItemsPath), true, 101, kUpgradeAnswerTimeoutMs, error);
    if (!exchange) {
        return std::nullopt;
    }
    Socket result;
    result.socket.Reset(WinHttpWebSocketCompleteUpgrade(exchange->request.Get(), 0));
    if (!result.socket) {
        error = "WebSocket upgrade failed: " + ErrorText(GetLastError());
        return std::nullopt;
    }
    result.connection = std::move(exchange->connection);
    return result;
}

std::optional<std::string> LinkTransport::GetJson(const std::wstring& path, std::string_view what, int timeoutMs,
                                                  std::string& error) const
{
    const auto exchange = Get(path, false, 200, timeoutMs, error);
    if (!exchange) {
        return std::nullopt;
    }
    std::string body;
    std::vector<char> chunk(kReceiveChunk);
    DWORD read = 0;
    do {
        if (!WinHttpReadData(exchange->request.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read)) {
            error = std::string(what) + " was cut off: " + ErrorText(GetLastError());
            return std::nullopt;
        }
        body.append(chunk.data(), read);
        if (body.size() > kMaxIncomingBytes) {
            error = std::string(what) + " is larger than " + std::to_string(kMaxIncomingBytes) + " bytes";
            return std::nullopt;
        }
    } while (read > 0);
    return body;
}

LinkTransport::Receipt LinkTransport::Receive(HINTERNET socket, std::string& message, std::string& why)
{
    message.clear();
    for (;;) {
        DWORD read = 0;
        WINHTTP_WEB_SOCKET_BUFFER_TYPE type {};
        const DWORD error
            = WinHttpWebSocketReceive(socket, m_chunk.data(), static_cast<DWORD>(m_chunk.size()), &read, &type);
        if (error != NO_ERROR) {
            why = ErrorText(error);
            return Receipt::Lost;
        }
        if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
            USHORT code = 0;
            char reason[WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH];
            DWORD reasonLength = 0;
            WinHttpWebSocketQueryCloseStatus(socket, &code, reason, sizeof reason, &reasonLength);
            why = "the link server closed the connection (code " + std::to_string(code)
                + (reasonLength ? ": " + Excerpt(std::string_view(reason, reasonLength)) : std::string()) + ")";
            return Receipt::Over;
        }
        if (type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE
            || type == WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE) {
            why = "the link server sent binary data, which it never does; connecting again";
            return Receipt::Over;
        }
        message.append(m_chunk.data(), read);
        if (message.size() > kMaxIncomingBytes) {
            why = "the link server sent a message of more than " + std::to_string(kMaxIncomingBytes)
                + " bytes; connecting again";
            return Receipt::Over;
        }
        if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
            return Receipt::Message;
        }
    }
}

std::optional<std::string> LinkTransport::Send(HINTERNET socket, std::string_view message)
{
    const DWORD error = WinHttpWebSocketSend(socket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                             const_cast<char*>(message.data()), static_cast<DWORD>(message.size()));
    if (error != NO_ERROR) {
        return ErrorText(error);
    }
    return std::nullopt;
}

void LinkTransport::Close(HINTERNET socket)
{
    WinHttpWebSocketShutdown(socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
}

} // namespace tavrel::dde
