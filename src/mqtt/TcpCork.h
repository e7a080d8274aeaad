#pragma once

namespace tavrel::mqtt {

/// Holds back a TCP socket's partial segments for its lifetime (TCP_CORK), so that the messages written meanwhile
/// leave in as few segments as fit (TCP_NODELAY alone would send one per message); what is left goes out when it
/// ends. Neither copied nor moved: a scope's guard.
class TcpCork
{
public:
    /// Corks `socket`; does nothing for -1.
    explicit TcpCork(int socket);
    TcpCork(const TcpCork&) = delete;
    TcpCork& operator=(const TcpCork&) = delete;
    ~TcpCork(); // uncorks

private:
    void Set(int on) const;

    int m_socket;
};

} // namespace tavrel::mqtt
