#pragma once

#include <atomic>
#include <thread>

namespace tavrel::test {

/// A Modbus TCP server on 127.0.0.1, in a thread of the test, that misbehaves as told. Holding register n holds n,
/// coil n is on for odd n.
class ScriptedServer
{
public:
    enum class Behaviour {
        NeverAnswer, ///< takes every request and answers none
        CloseAfterAnswers, ///< answers the first `answers` requests of its first connection, then closes it;
                           ///< later connections are answered in full
        ExceptionAnswer, ///< answers every request with exception 4, server device failure
        FirstAnswerLate, ///< answers its first request `answers` milliseconds late, every later one at once
        ShortAnswer, ///< answers a read of n registers with n - 1 of them
        WrongFunction, ///< answers every request as if it had been of the next function code
    };

    explicit ScriptedServer(Behaviour behaviour, int answers = 0);
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;
    ~ScriptedServer();

    int Port() const { return m_port; }
    /// Requests received so far, over every connection.
    int Requests() const { return m_requests.load(); }
    /// Connections accepted so far.
    int Connections() const { return m_connections.load(); }

private:
    void Run();

    Behaviour m_behaviour;
    int m_answers;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<int> m_requests { 0 };
    std::atomic<int> m_connections { 0 };
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

} // namespace tavrel::test
