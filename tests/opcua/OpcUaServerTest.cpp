// The OPC UA server on the network, in a program: where it may listen, and a connected client that sees items come
// and go as the project is edited and the sessions counted among the System items. The client is node-opcua-client
// (tests/opcua/peer/watch_nodes.js); without it installed the client's test is skipped.
#include "opcua/OpcUaServer.h"

#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <filesystem>
#include <gtest/gtest.h>

using namespace tavrel;

namespace {

void Spin(const std::function<bool()>& until, int milliseconds = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (!until() && timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

class OpcUaServerTest : public ::testing::Test
{
protected:
    test::TempDir dir;
    test::DriverScript script;
    app::Program program { common::Settings(dir / "tavrel.ini", "tavrel"), script.Factory(), TAVREL_TEMPLATE_PATH };
    opcua::OpcUaServer server { program.Service() };
};

} // namespace

TEST_F(OpcUaServerTest, ListensOnlyWhereNoOtherMachineReachesIt)
{
    const auto refused = server.Listen(QHostAddress(QStringLiteral("0.0.0.0")), 0);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("no security"), std::string::npos) << refused.error();
    EXPECT_TRUE(server.EndpointUrl().isEmpty());

    const auto bound = server.Listen(QHostAddress::LocalHost, 0);
    ASSERT_TRUE(bound) << bound.error();
    EXPECT_EQ(server.EndpointUrl(), QStringLiteral("opc.tcp://127.0.0.1:%1/").arg(*bound));
    // Moving to a port that is taken leaves it where it was.
    const auto taken = server.Listen(QHostAddress::LocalHost, *bound);
    EXPECT_FALSE(taken);
    EXPECT_EQ(server.EndpointUrl(), QStringLiteral("opc.tcp://127.0.0.1:%1/").arg(*bound));
}

TEST_F(OpcUaServerTest, AClientSeesItemsComeAndGoAsTheProjectChangesAndIsCountedAsASession)
{
    auto plc = program.Project().NewPlc();
    plc->Name = "Line_1";
    model::clsPlc& line = program.Project().AddPLC(std::move(plc));
    const auto bound = server.Listen(QHostAddress::LocalHost, 0);
    ASSERT_TRUE(bound) << bound.error();

    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.start(QStringLiteral("node"), { QStringLiteral(TAVREL_PEER_FOLDER "/watch_nodes.js"), server.EndpointUrl(),
                                           QStringLiteral("ns=1;s=plc/Line_1"), QStringLiteral("ns=1;s=lblDDE(1)") });
    QByteArray said;
    const auto heard = [&](const char* text) {
        said += client.readAll();
        return said.contains(text) || client.state() == QProcess::NotRunning;
    };
    Spin([&] { return heard("connected"); });
    if (client.exitCode() == 77) {
        GTEST_SKIP() << "node-opcua-client is not installed; run tools/install-deps";
    }
    ASSERT_TRUE(said.contains("connected")) << said.toStdString() << client.readAll().toStdString();
    Spin([&] { return server.SessionCount() == 1; });
    EXPECT_EQ(program.Service().System().Find(QStringLiteral("OpcUaSessions"))->second, QStringLiteral("1"));

    std::int32_t label = -1;
    ASSERT_TRUE(line.AddItems(1, 100, common::operand::MI, common::direction::ReadWrite, true, label));
    emit program.projectChanged();
    Spin([&] { return heard("found"); });
    EXPECT_TRUE(said.contains("found ns=1;s=lblDDE(1) MI 100")) << said.toStdString();

    ASSERT_TRUE(line.RemoveItem(line.colItems().back()->Key));
    emit program.projectChanged();
    Spin([&] { return heard("gone"); });
    EXPECT_TRUE(said.contains("gone ns=1;s=lblDDE(1)")) << said.toStdString();
    Spin([&] { return client.state() == QProcess::NotRunning; }, 5000);
    EXPECT_EQ(client.exitCode(), 0);
    EXPECT_EQ(server.SessionCount(), 0U) << "the client closed its session";
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
