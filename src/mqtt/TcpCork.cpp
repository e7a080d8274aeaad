#include "mqtt/TcpCork.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tavrel::mqtt {

TcpCork::TcpCork(int socket)
    : m_socket(socket)
{
    Set(1);
}

TcpCork::~TcpCork()
{
    Set(0);
}

void TcpCork::Set(int on) const
{
    if (m_socket != -1) {
        ::setsockopt(m_socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    }
}

} // namespace tavrel::mqtt
