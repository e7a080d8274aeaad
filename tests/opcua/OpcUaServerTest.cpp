// The OPC UA server on the network, in a program: where it may listen, and a connected client that sees items come
// and go as the project is edited and the sessions counted among the System items. The client is node-opcua-client
// (tests/opcua/peer/watch_nodes.js); without it installed the client's test is skipped.
#include "opcua/OpcUaServer.h"

#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "opcua/crypto/CertificateMaker.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"

#include "UaClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>

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

/// One whole UA-TCP chunk from `socket`, waited for.
std::vector<std::uint8_t> TakeChunk(QTcpSocket& socket)
{
    QByteArray bytes;
    const auto whole = [&] {
        bytes += socket.read(8 - std::min<qsizetype>(bytes.size(), 8));
        if (bytes.size() >= 8) {
            const auto size
                = static_cast<qsizetype>(static_cast<std::uint8_t>(bytes[4]) | static_cast<std::uint8_t>(bytes[5]) << 8
                                         | static_cast<std::uint8_t>(bytes[6]) << 16);
            bytes += socket.read(size - bytes.size());
            return bytes.size() == size;
        }
        return false;
    };
    Spin(whole, 10000);
    return { bytes.begin(), bytes.end() };
}

} // namespace

/// A raw client connected to the server with an activated session.
struct RawClient
{
    QTcpSocket socket;
    opcua::test::UaClient client;

    void Send(const std::vector<std::uint8_t>& bytes)
    {
        socket.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    }

    void OpenSession(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(socket.waitForConnected(5000));
        Send(client.Hello());
        ASSERT_FALSE(TakeChunk(socket).empty());
        Send(client.Open());
        ASSERT_TRUE(client.TakeOpen(TakeChunk(socket)));
        opcua::CreateSessionRequest create;
        create.requestedSessionTimeout = 60000;
        Send(client.Message(create));
        const auto created = opcua::DecodeMessage<opcua::CreateSessionResponse>(
            opcua::test::UaClient::Bodies(TakeChunk(socket)).at(0));
        ASSERT_TRUE(created);
        client.authenticationToken = created->authenticationToken;
        opcua::ActivateSessionRequest activate;
        activate.userIdentityToken = opcua::ToExtensionObject(opcua::AnonymousIdentityToken { "anonymous" });
        Send(client.Message(activate));
        ASSERT_FALSE(TakeChunk(socket).empty());
    }
};

TEST_F(OpcUaServerTest, AClientThatFloodsPublishRequestsIsToldSoAndKeepsItsSession)
{
    const auto bound = server.Listen(QHostAddress::LocalHost, 0);
    ASSERT_TRUE(bound) << bound.error();
    RawClient raw;
    ASSERT_NO_FATAL_FAILURE(raw.OpenSession(*bound));
    opcua::CreateSubscriptionRequest subscribe;
    subscribe.requestedPublishingInterval = 1000;
    subscribe.requestedMaxKeepAliveCount = 100;
    subscribe.requestedLifetimeCount = 300;
    subscribe.publishingEnabled = true;
    raw.Send(raw.client.Message(subscribe));
    ASSERT_FALSE(TakeChunk(raw.socket).empty());
    // Far more Publish requests than the server keeps: the ones past its bound are answered at once.
    for (int i = 0; i < 200; ++i) {
        raw.Send(raw.client.Message(opcua::PublishRequest {}));
    }
    int tooMany = 0;
    Spin([&] {
        const auto chunk = TakeChunk(raw.socket);
        const auto bodies = opcua::test::UaClient::Bodies(chunk);
        if (!bodies.empty()
            && opcua::test::UaClient::FaultOf(bodies.front()) == opcua::status::kBadTooManyPublishRequests) {
            ++tooMany;
        }
        return tooMany >= 150 || chunk.empty();
    });
    EXPECT_GE(tooMany, 150);
    EXPECT_EQ(server.SessionCount(), 1U);
    EXPECT_EQ(server.ConnectionCount(), 1U);
}

TEST_F(OpcUaServerTest, AClientThatNeverReadsItsAnswersIsClosedAndTheOthersAreServed)
{
    const auto bound = server.Listen(QHostAddress::LocalHost, 0);
    ASSERT_TRUE(bound) << bound.error();
    RawClient raw;
    ASSERT_NO_FATAL_FAILURE(raw.OpenSession(*bound));
    QTcpSocket& socket = raw.socket;
    const auto send = [&raw](const std::vector<std::uint8_t>& bytes) { raw.Send(bytes); };
    opcua::test::UaClient& client = raw.client;

    // Reads of the server's status 5,000 times over, each answer some 400 kB, sent and never read: the answers
    // pile up until the server gives up on the client rather than keep them.
    socket.setReadBufferSize(4096);
    opcua::ReadRequest read;
    opcua::ReadValueId status;
    status.nodeId = opcua::NodeId(0, 2256);
    read.nodesToRead.assign(5000, status);
    constexpr int kRequests = 150;
    for (int i = 0; i < kRequests; ++i) {
        send(client.Message(read));
    }
    Spin([&] { return server.ConnectionCount() == 0; }, 120000);
    EXPECT_EQ(server.ConnectionCount(), 0U) << "the server gave up on the client";
    std::int64_t received = 0;
    Spin([&] {
        received += socket.readAll().size();
        return socket.state() == QAbstractSocket::UnconnectedState;
    });
    EXPECT_EQ(socket.state(), QAbstractSocket::UnconnectedState) << "closed by the server";
    EXPECT_LT(received, std::int64_t { kRequests } * 300000) << "not every answer was sent";

    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, *bound);
    ASSERT_TRUE(other.waitForConnected(5000));
    const auto hello = opcua::test::UaClient().Hello();
    other.write(reinterpret_cast<const char*>(hello.data()), static_cast<qint64>(hello.size()));
    const auto acknowledged = TakeChunk(other);
    ASSERT_GE(acknowledged.size(), 4U) << "another client is served";
    EXPECT_EQ(std::string(acknowledged.begin(), acknowledged.begin() + 4), "ACKF");
}

TEST_F(OpcUaServerTest, OffLoopbackItNeedsACertificateAndSomeoneToLogInAndASoundUsersFileAnywhere)
{
    const QHostAddress everywhere(QStringLiteral("0.0.0.0"));
    auto refused = server.Listen(everywhere, 0);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("no certificate"), std::string::npos) << refused.error();

    auto key = opcua::crypto::PrivateKey::GenerateRsa(2048);
    opcua::crypto::CertificateRequest request;
    request.applicationUri = "urn:test:Tavrel";
    request.notAfterMs = 4102444800000;
    auto channel = std::make_shared<opcua::ChannelSecurity>();
    channel->certificate = std::make_shared<opcua::crypto::Certificate>(*opcua::crypto::MakeCertificate(request, *key));
    channel->key = std::make_shared<opcua::crypto::PrivateKey>(*key);
    opcua::OpcUaSecurity security;
    security.channel = channel;
    security.usersFile = dir / "tavrel.users";
    server.SetSecurity(security);
    refused = server.Listen(everywhere, 0);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("users file holds no user"), std::string::npos) << refused.error();
    EXPECT_TRUE(server.EndpointUrl().isEmpty());

    common::UsersFile users(dir / "tavrel.users");
    ASSERT_TRUE(users.AddUser("ann", common::Role::Reader, "secret"));
    ASSERT_TRUE(users.Save());
    std::filesystem::permissions(dir / "tavrel.users", std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    refused = server.Listen(QHostAddress::LocalHost, 0);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("others"), std::string::npos) << refused.error();
    std::filesystem::permissions(dir / "tavrel.users", std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::remove);

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
    client.start(QStringLiteral("node"),
                 { QStringLiteral(TAVREL_PEER_FOLDER "/watch_nodes.js"), server.EndpointUrl(),
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
    client.kill();
    client.waitForFinished(5000);
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
