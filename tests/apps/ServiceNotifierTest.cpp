#include "apps/tavrel/ServiceNotifier.h"

#include "common/OperandCatalogue.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

using namespace tavrel;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// systemd's end of the notify socket: every datagram, with the time it came.
class NotifySocket
{
public:
    struct Message
    {
        Clock::time_point at;
        std::string text;
    };

    explicit NotifySocket(const std::filesystem::path& path)
        : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address { AF_UNIX, {} };
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0) << path;
        const timeval wait { 0, 20000 };
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
        m_reader = std::thread([this] {
            char buffer[4096];
            while (!m_stop) {
                if (const ssize_t size = ::recv(m_fd, buffer, sizeof(buffer), 0); size > 0) {
                    const std::lock_guard lock(m_mutex);
                    m_messages.push_back({ Clock::now(), std::string(buffer, static_cast<std::size_t>(size)) });
                }
            }
        });
    }
    ~NotifySocket()
    {
        m_stop = true;
        m_reader.join();
        ::close(m_fd);
        ::unsetenv("NOTIFY_SOCKET");
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    std::vector<Message> Messages()
    {
        const std::lock_guard lock(m_mutex);
        return m_messages;
    }
    /// How many messages that are `text` came from `from` to `to`.
    long Count(const std::string& text, Clock::time_point from, Clock::time_point to)
    {
        const auto messages = Messages();
        return std::count_if(messages.begin(), messages.end(),
                             [&](const Message& m) { return m.text == text && m.at >= from && m.at <= to; });
    }

private:
    int m_fd;
    std::atomic<bool> m_stop { false };
    std::mutex m_mutex;
    std::vector<Message> m_messages;
    std::thread m_reader;
};

void Spin(std::chrono::milliseconds duration)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < duration.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

} // namespace

// With WatchdogSec=2 and a PLC of a 400 ms time-out without retries, a pass may take 1 + 3 x 0.4 s before the loop
// counts as stuck; keep-alives go out every second while it does not.
TEST(ServiceNotifier, KeepsTheWatchdogAliveWhilePassesRunAndNotWhileAPassIsStuck)
{
    const test::TempDir dir;
    NotifySocket systemd(dir / "notify");
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    ::unsetenv("WATCHDOG_PID");
    test::DriverScript script;
    app::Program program(common::Settings(dir / "tavrel.ini", "tavrel"), script.Factory(), TAVREL_TEMPLATE_PATH);
    auto added = program.Project().NewPlc();
    added->Name = "A";
    model::CommParams params = added->GetCommParams();
    params.TimeOut = 400;
    params.NumRetries = 0;
    added->SetCommParams(params);
    std::int32_t label = -1;
    ASSERT_TRUE(added->AddItems(1, 0, common::operand::MI, common::direction::Read, true, label));
    program.Project().AddPLC(std::move(added));

    // A driver that blocks in its next read for 5 s once told to.
    std::atomic<bool> block = false;
    std::atomic<Clock::rep> blockedSince = 0;
    script.OnCall = [&](const std::string& call) {
        if (call.starts_with("ReadBinaryMix") && block.exchange(false)) {
            blockedSince = Clock::now().time_since_epoch().count();
            std::this_thread::sleep_for(5s);
        }
    };

    ServiceNotifier notifier(program);
    ASSERT_TRUE(notifier.Active());
    program.ToggleRun();
    notifier.Ready();
    const auto started = Clock::now();
    Spin(2500ms);
    std::vector<std::string> states;
    for (const auto& message : systemd.Messages()) {
        if (message.text != "WATCHDOG=1") {
            states.push_back(message.text);
        }
    }
    const std::vector<std::string> expected { "STATUS=running; 1 PLC(s)", "READY=1\nSTATUS=running; 1 PLC(s)",
                                              "STATUS=running; 1 of 1 PLC(s) connected" };
    EXPECT_EQ(states, expected) << "the status changes once a pass is over, and only then";
    EXPECT_GE(systemd.Count("WATCHDOG=1", started, Clock::now()), 2) << "passes run";

    block = true;
    for (int turn = 0; turn < 200 && blockedSince == 0; ++turn) {
        Spin(10ms); // the next pass blocks the loop in here, for 5 s
    }
    const Clock::time_point releasedAt = Clock::now();
    ASSERT_NE(blockedSince, 0);
    const Clock::time_point blockedAt { Clock::duration(blockedSince.load()) };
    EXPECT_GE(releasedAt - blockedAt, 4900ms);
    EXPECT_GE(systemd.Count("WATCHDOG=1", blockedAt, blockedAt + 1500ms), 1)
        << "a pass within its PLCs' time-outs is no stuck loop";
    EXPECT_EQ(systemd.Count("WATCHDOG=1", blockedAt + 2600ms, releasedAt), 0) << "a pass stuck past them is";

    script.Always("ReadBinaryMix", test::DriverAnswer::Fails());
    Spin(2500ms);
    EXPECT_GE(systemd.Count("WATCHDOG=1", releasedAt, Clock::now()), 1) << "the loop turns again";
    EXPECT_EQ(systemd.Count("STATUS=running; 0 of 1 PLC(s) connected; not connected: A", releasedAt, Clock::now()), 1);

    notifier.Stopping();
    program.Stop();
    Spin(100ms);
    EXPECT_EQ(systemd.Messages().back().text, "STOPPING=1\nSTATUS=stopping") << "no status after the stop";
    ::unsetenv("WATCHDOG_USEC");
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
