#pragma once

#include "CertificateCheck.h"
#include "Handles.h"
#include "Options.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::dde {

/// The WinHTTP side of the conversation with a link server: the WebSocket and plain GETs. It only moves bytes;
/// what they say is LinkMessages' and LinkClient's.
class LinkTransport
{
public:
    /// An open WebSocket and the connection it runs on.
    struct Socket
    {
        InternetHandle connection;
        InternetHandle socket;
    };

    /// How a wait for a message ended.
    enum class Receipt {
        Message, ///< a whole text message came
        Lost, ///< the connection broke
        Over ///< the server closed it, or sent what it never sends
    };

    /// The largest message taken from the link server: a whole pass of changes for every link fits many times.
    static constexpr std::size_t kMaxIncomingBytes = 16 * 1024 * 1024;

    /// The link server of `options`, reached with the access token `token` (empty: none).
    LinkTransport(const Options& options, std::string token);

    /// The WebSocket's address as a URL, for messages.
    std::string Url() const;

    /// Opens the WebSocket; nothing and the reason in `error` when the server cannot be reached or refuses it.
    std::optional<Socket> Connect(std::string& error) const;

    /// The body of a JSON answer 200 to GET `path`, within `timeoutMs`; nothing and the reason in `error` for any
    /// other answer, for none, and for one larger than kMaxIncomingBytes. `what` names the body in the reason.
    std::optional<std::string> GetJson(const std::wstring& path, std::string_view what, int timeoutMs,
                                       std::string& error) const;

    /// Waits for the next whole text message on `socket` into `message`; for Lost and Over, `why` says what
    /// happened, for the log. Only one thread receives.
    Receipt Receive(HINTERNET socket, std::string& message, std::string& why);

    /// Sends one text message; nothing when it left, else the reason.
    static std::optional<std::string> Send(HINTERNET socket, std::string_view message);

    /// Starts the closing handshake: the receive ends once the server answers it.
    static void Close(HINTERNET socket);

private:
    /// An HTTP exchange whose answer's status has been read.
    struct Exchange
    {
        InternetHandle session;
        InternetHandle connection;
        InternetHandle request;
    };

    /// Sends GET `path` (a WebSocket upgrade with `upgrade`) and reads the answer's status, which must be
    /// `expected`.
    std::optional<Exchange> Get(const std::wstring& path, bool upgrade, DWORD expected, int answerTimeoutMs,
                                std::string& error) const;

    /// Judges the certificate of the link server on `connection` with a request that carries no token, leaving the
    /// connection open for the next; why it is not trusted, or nothing.
    std::optional<std::string> Probe(HINTERNET connection) const;

    Options m_options;
    CertificateCheck m_check;
    std::string m_token;
    std::vector<char> m_chunk; ///< the receiving thread's buffer
};

} // namespace tavrel::dde
