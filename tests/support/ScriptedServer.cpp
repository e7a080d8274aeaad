#include "support/ScriptedServer.h"

#include "comm/modbus/ModbusContext.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrel::test {

namespace {

constexpr int kTableSize = 65536;

struct MappingDeleter
{
    void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
};

// Sends an answer of our own making to the request `query` (a Modbus TCP frame): its header, `function`, and `pdu`.
void SendRaw(int socket, const std::uint8_t* query, std::uint8_t function, const std::vector<std::uint8_t>& pdu)
{
    const auto length = static_cast<std::uint16_t>(pdu.size() + 2); // unit ID and function code follow the length
    std::vector<std::uint8_t> frame {
        query[0], query[1], 0, 0, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF),
        query[6], function
    };
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    (void)send(socket, frame.data(), frame.size(), MSG_NOSIGNAL);
}

} // namespace

ScriptedServer::ScriptedServer(Behaviour behaviour, int answers)
    : m_behaviour(behaviour)
    , m_answers(answers)
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (m_listener == -1 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1
        || listen(m_listener, 4) == -1
        || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
        const int error = errno;
        if (m_listener != -1) {
            close(m_listener);
        }
        throw std::runtime_error(std::string("scripted server: ") + std::strerror(error));
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer()
{
    m_stop = true;
    m_thread.join();
    close(m_listener);
}

void ScriptedServer::Run()
{
    std::unique_ptr<modbus_mapping_t, MappingDeleter> mapping(modbus_mapping_new(kTableSize, 0, kTableSize, 0));
    for (int i = 0; i < kTableSize; ++i) {
        mapping->tab_registers[i] = static_cast<std::uint16_t>(i);
        mapping->tab_bits[i] = static_cast<std::uint8_t>(i % 2);
    }
    // A context only for framing: it is pointed at each client socket in turn and never connects itself.
    comm::modbus::ModbusContext framing(modbus_new_tcp("127.0.0.1", 0));
    std::vector<std::uint8_t> query(MODBUS_TCP_MAX_ADU_LENGTH);
    std::vector<pollfd> sockets { { m_listener, POLLIN, 0 } };
    int answered = 0;
    while (!m_stop) {
        if (poll(sockets.data(), sockets.size(), 20) <= 0) {
            continue;
        }
        for (std::size_t i = 1; i < sockets.size(); ++i) {
            if ((sockets[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            modbus_set_socket(framing.Get(), sockets[i].fd);
            const int length = modbus_receive(framing.Get(), query.data());
            if (length <= 0) {
                close(sockets[i].fd);
                sockets[i].fd = -1;
                continue;
            }
            ++m_requests;
            switch (m_behaviour) {
            case Behaviour::NeverAnswer:
                break;
            case Behaviour::ExceptionAnswer:
                modbus_reply_exception(framing.Get(), query.data(), MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
                break;
            case Behaviour::FirstAnswerLate:
                if (m_requests == 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_answers));
                }
                modbus_reply(framing.Get(), query.data(), length, mapping.get());
                break;
            case Behaviour::ShortAnswer: {
                const int count = (query[10] << 8) | query[11];
                const auto bytes = static_cast<std::uint8_t>(2 * (count > 0 ? count - 1 : 0));
                std::vector<std::uint8_t> pdu { bytes };
                pdu.resize(1U + bytes, 0x11);
                SendRaw(sockets[i].fd, query.data(), query[7], pdu);
                break;
            }
            case Behaviour::WrongFunction:
                SendRaw(sockets[i].fd, query.data(), static_cast<std::uint8_t>(query[7] + 1), { 2, 0x11, 0x11 });
                break;
            case Behaviour::CloseAfterAnswers:
                if (m_connections == 1 && answered == m_answers) {
                    close(sockets[i].fd);
                    sockets[i].fd = -1;
                    break;
                }
                modbus_reply(framing.Get(), query.data(), length, mapping.get());
                ++answered;
                break;
            }
        }
        std::erase_if(sockets, [](const pollfd& socket) { return socket.fd == -1; });
        if ((sockets.front().revents & POLLIN) != 0) {
            if (const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC); client != -1) {
                ++m_connections;
                sockets.push_back({ client, POLLIN, 0 });
            }
        }
    }
    for (std::size_t i = 1; i < sockets.size(); ++i) {
        close(sockets[i].fd);
    }
    modbus_set_socket(framing.Get(), -1);
}

} // namespace tavrel::test
