// tavrel: serves live PLC values over HTTP and WebSocket, with a window or headless.
#include "app/Program.h"
#include "app/SingleInstance.h"
#include "apps/tavrel/Headless.h"
#include "apps/tavrel/ItemsCommand.h"
#include "apps/tavrel/LinkSetup.h"
#include "apps/tavrel/ServiceNotifier.h"
#include "apps/tavrel/UserCommands.h"
#include "comm/modbus/ModbusDriver.h"
#include "comm/modbus/OperandMap.h"
#include "common/Settings.h"
#include "common/UsersFile.h"
#include "link/LinkServer.h"
#include "mqtt/MqttBridge.h"
#include "opcua/OpcUaServer.h"
#include "opcua/crypto/Pki.h"
#include "storage/ProjectDatabase.h"
#if TAVREL_WITH_WINDOW
#include "ui/WindowMain.h"
#include <QApplication>
#include <QMessageBox>
#endif

#include <QCommandLineParser>
#include <QCoreApplication>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#if defined(__SANITIZE_ADDRESS__)
// In the sanitizer build: libdbus, which Qt's platform integration opens on a desktop, keeps one buffer of its own
// until the process ends; that is the library's way, not a leak of ours, so the report at exit leaves it out.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}
extern "C" const char* __lsan_default_options()
{
    return "print_suppressions=0";
}
#endif

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitAlreadyRunning = 3;

bool HasFlag(int argc, char** argv, const char* flag)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) {
            return true;
        }
    }
    return false;
}

/// The OPC UA certificate store of these settings, our certificate made in it on first start.
tl::expected<std::unique_ptr<tavrel::opcua::crypto::Pki>, std::string> OpenPki(const tavrel::common::Settings& settings,
                                                                               bool autoAccept)
{
    const auto nowMs
        = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
              .count();
    auto pki = tavrel::opcua::crypto::Pki::Open(
        tavrel::common::OpcUaPkiFolder(settings),
        tavrel::opcua::crypto::HostIdentity(tavrel::opcua::OpcUaServer::ApplicationUri()), autoAccept, nowMs);
    if (!pki) {
        return tl::make_unexpected("the OPC UA certificate store: " + pki.error());
    }
    return pki;
}

/// --trust-certificate FILE: the client certificate in FILE joins the trusted ones.
int TrustCertificate(const tavrel::common::Settings& settings, const std::string& file)
{
    auto pki = OpenPki(settings, false);
    if (!pki) {
        std::fprintf(stderr, "tavrel: %s\n", pki.error().c_str());
        return kExitUsage;
    }
    auto trusted = (*pki)->Trust(file);
    if (!trusted) {
        std::fprintf(stderr, "tavrel: %s\n", trusted.error().c_str());
        return kExitUsage;
    }
    std::fprintf(stderr, "%s trusted: %s\n", file.c_str(), trusted->string().c_str());
    return 0;
}

int Fail(bool headless, const std::string& message, int code)
{
#if TAVREL_WITH_WINDOW
    if (!headless) {
        QMessageBox::critical(nullptr, QStringLiteral("Tavrel"), QString::fromStdString(message));
        return code;
    }
#endif
    (void)headless;
    std::fprintf(stderr, "tavrel: %s\n", message.c_str());
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    const bool headless = HasFlag(argc, argv, "--headless");
    // Help and version are text: they need no display, and must not fail for the want of one.
    // So are the items commands, which work on a project file and end.
    const bool textOnly = HasFlag(argc, argv, "--help") || HasFlag(argc, argv, "-h") || HasFlag(argc, argv, "-?")
        || HasFlag(argc, argv, "--help-all") || HasFlag(argc, argv, "--version") || HasFlag(argc, argv, "-v")
        || HasFlag(argc, argv, "--import-items") || HasFlag(argc, argv, "--export-items")
        || tavrel::AsksForUserCommand(argc, argv) || HasFlag(argc, argv, "--trust-certificate");
    tavrel::app::PrepareRuntimeFolder();
    std::unique_ptr<QCoreApplication> application;
#if TAVREL_WITH_WINDOW
    if (!headless && !textOnly) {
        application = std::make_unique<QApplication>(argc, argv);
    }
#endif
    if (!application) {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("tavrel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves live PLC values to clients over HTTP and WebSocket."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        { QStringLiteral("headless"), QStringLiteral("Run without a window; start running at once.") },
        { QStringLiteral("settings"),
          QStringLiteral("Read and write settings in <file> instead of tavrel.ini beside the program."),
          QStringLiteral("file") },
        { QStringLiteral("modbus-map"),
          QStringLiteral(
              "Read the Modbus operand map from <file> (default: modbus-map.ini beside the settings file, if any)."),
          QStringLiteral("file") },
        { QStringLiteral("listen"),
          QStringLiteral(
              "Serve the items on <address:port> (default: LinkAddress and LinkPort of the settings, 127.0.0.1:7410)."),
          QStringLiteral("address:port") },
        { QStringLiteral("mqtt"),
          QStringLiteral(
              "Publish the items into the MQTT broker at <host:port> (default: MqttBroker of the settings)."),
          QStringLiteral("host:port") },
        { QStringLiteral("opcua"),
          QStringLiteral("Serve OPC UA on <address:port>, port 0 for none (default: OpcUaAddress and OpcUaPort of the "
                         "settings, 127.0.0.1:4840)."),
          QStringLiteral("address:port") },
        { QStringLiteral("no-splash"), QStringLiteral("Do not show the splash window.") },
        { QStringLiteral("min-pass-ms"),
          QStringLiteral(
              "Start a refresh pass at most every <ms> milliseconds (default: MinPassMs of the settings, 0: at once)."),
          QStringLiteral("ms") },
        { QStringLiteral("screenshots"),
          QStringLiteral("Save pictures of the window and its dialogs into <folder> and end."),
          QStringLiteral("folder") },
        { QStringLiteral("import-items"),
          QStringLiteral("With FILE PROJECT.tve: replace the items of PLC <plc> with the items list (CSV) in FILE, "
                         "save the project and end."),
          QStringLiteral("plc") },
        { QStringLiteral("export-items"),
          QStringLiteral("With FILE PROJECT.tve: write the items of PLC <plc> to FILE as an items list (CSV) and end."),
          QStringLiteral("plc") },
    });
    // For tests that drive the retry: the seconds between a PLC's failure and the next attempt to open it
    // (60 unless given). Hidden from --help, since a user has no reason to change it.
    QCommandLineOption reconnectOption(QStringLiteral("reconnect-seconds"),
                                       QStringLiteral("Retry a failed PLC after <seconds> instead of 60."),
                                       QStringLiteral("seconds"));
    reconnectOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(reconnectOption);
    // For tests of slow link clients: the seconds a client may take nothing before it is closed (30 unless given).
    QCommandLineOption stallOption(
        QStringLiteral("link-stall-seconds"),
        QStringLiteral("Close a link client that takes nothing for <seconds> instead of 30."),
        QStringLiteral("seconds"));
    stallOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(stallOption);
    tavrel::AddUserCommandOptions(parser);
    parser.addOption({ QStringLiteral("trust-certificate"),
                       QStringLiteral("Trust the OPC UA client certificate in <file> (DER or PEM): copy it into "
                                      "pki/trusted beside the settings file, out of pki/rejected."),
                       QStringLiteral("file") });
    parser.addPositionalArgument(QStringLiteral("project"), QStringLiteral("The project file (.tve) to open."),
                                 QStringLiteral("[project]"));
    parser.process(*application);

    // The items commands need neither settings nor a display, and may run beside a running instance.
    for (const auto& [option, command] : { std::pair { "import-items", tavrel::ItemsCommand::Import },
                                           std::pair { "export-items", tavrel::ItemsCommand::Export } }) {
        if (!parser.isSet(QString::fromLatin1(option))) {
            continue;
        }
        const QStringList files = parser.positionalArguments();
        if (files.size() != 2
            || parser.isSet(QStringLiteral("import-items")) == parser.isSet(QStringLiteral("export-items"))) {
            return Fail(true,
                        std::string("--") + option + " takes a PLC name, then FILE and PROJECT.tve: tavrel --" + option
                            + " Line_1 items.csv plant.tve",
                        kExitUsage);
        }
        auto templatePath = tavrel::storage::DefaultTemplatePath();
        if (!templatePath) {
            return Fail(true, templatePath.error(), kExitUsage);
        }
        return tavrel::RunItemsCommand(command, parser.value(QString::fromLatin1(option)).toStdString(),
                                       files.at(0).toStdString(), files.at(1).toStdString(), *templatePath);
    }

    const std::filesystem::path executable = QCoreApplication::applicationFilePath().toStdString();
    tavrel::common::Settings settings = parser.isSet(QStringLiteral("settings"))
        ? tavrel::common::Settings(std::filesystem::absolute(parser.value(QStringLiteral("settings")).toStdString()),
                                   executable.stem().string())
        : tavrel::common::Settings::ForExecutable(executable);

    if (const auto code = tavrel::RunUserCommand(parser, settings)) {
        return *code;
    }
    if (parser.isSet(QStringLiteral("trust-certificate"))) {
        return TrustCertificate(settings, parser.value(QStringLiteral("trust-certificate")).toStdString());
    }

    // One instance per user and settings file: a second one would fight the first over the same PLCs and port.
    tavrel::app::SingleInstance instance(settings.FilePath());
    if (!instance.Claim()) {
#if TAVREL_WITH_WINDOW
        if (!headless) {
            QMessageBox::information(nullptr, QStringLiteral("Tavrel"),
                                     QStringLiteral("This application is already running"));
            return kExitAlreadyRunning;
        }
#endif
        std::fprintf(stderr, "This application is already running\n");
        return kExitAlreadyRunning;
    }

    std::filesystem::path mapFile;
    if (parser.isSet(QStringLiteral("modbus-map"))) {
        mapFile = parser.value(QStringLiteral("modbus-map")).toStdString();
    } else if (std::filesystem::path beside = settings.FilePath().parent_path() / "modbus-map.ini";
               std::filesystem::exists(beside)) {
        mapFile = beside;
    }
    tavrel::comm::modbus::OperandMap map;
    if (!mapFile.empty()) {
        auto read = tavrel::comm::modbus::ReadOperandMapFile(mapFile);
        if (!read) {
            return Fail(headless, read.error(), kExitUsage);
        }
        map = std::move(*read);
    }

    auto templatePath = tavrel::storage::DefaultTemplatePath();
    if (!templatePath) {
        return Fail(headless, templatePath.error(), kExitUsage);
    }

    // An endpoint from the settings, replaced by ADDRESS:PORT of its option when given.
    const auto endpoint
        = [&parser](const QString& option, const std::string& settingAddress, quint16 settingPort,
                    const std::string& example,
                    const std::string& server) -> tl::expected<std::pair<QHostAddress, quint16>, std::string> {
        QString where = QString::fromStdString(settingAddress);
        quint16 port = settingPort;
        if (parser.isSet(option)) {
            const QString value = parser.value(option);
            const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
            bool portOk = false;
            const uint number = colon > 0 ? value.mid(colon + 1).toUInt(&portOk) : 0;
            if (colon <= 0 || !portOk || number > 65535) {
                return tl::make_unexpected("--" + option.toStdString() + " takes ADDRESS:PORT, for example " + example
                                           + ", not '" + value.toStdString() + "'");
            }
            where = value.left(colon);
            port = static_cast<quint16>(number);
        }
        QHostAddress address;
        if (!address.setAddress(where)) {
            return tl::make_unexpected("the " + server + " address '" + where.toStdString() + "' is no IP address");
        }
        return std::pair(address, port);
    };
    const auto linkEndpoint = endpoint(QStringLiteral("listen"), tavrel::common::ReadLinkAddress(settings),
                                       tavrel::common::ReadLinkPort(settings), "127.0.0.1:7410", "link server");
    if (!linkEndpoint) {
        return Fail(headless, linkEndpoint.error(), kExitUsage);
    }
    const QHostAddress address = linkEndpoint->first;
    const quint16 listenPort = linkEndpoint->second;
    const auto opcUaEndpoint = endpoint(QStringLiteral("opcua"), tavrel::common::ReadOpcUaAddress(settings),
                                        tavrel::common::ReadOpcUaPort(settings), "127.0.0.1:4840", "OPC UA server");
    if (!opcUaEndpoint) {
        return Fail(headless, opcUaEndpoint.error(), kExitUsage);
    }

    std::int64_t reconnectSeconds = tavrel::comm::kReconnectDelaySeconds;
    if (parser.isSet(reconnectOption)) {
        bool secondsOk = false;
        const int seconds = parser.value(reconnectOption).toInt(&secondsOk);
        if (!secondsOk || seconds < 1 || seconds > 3600) {
            return Fail(headless,
                        "--reconnect-seconds takes a whole number from 1 to 3600, not '"
                            + parser.value(reconnectOption).toStdString() + "'",
                        kExitUsage);
        }
        reconnectSeconds = seconds;
    }

    tavrel::link::LinkLimits linkLimits;
    if (parser.isSet(stallOption)) {
        bool secondsOk = false;
        const int seconds = parser.value(stallOption).toInt(&secondsOk);
        if (!secondsOk || seconds < 1 || seconds > 3600) {
            return Fail(headless,
                        "--link-stall-seconds takes a whole number from 1 to 3600, not '"
                            + parser.value(stallOption).toStdString() + "'",
                        kExitUsage);
        }
        linkLimits.stallMs = seconds * 1000;
    }
    // Who may talk to the link server, and over TLS or not. Certificate or key files that cannot serve stop a
    // headless start; the window says why and serves without TLS, on this computer only.
    const tavrel::LinkSetup linkSetup = tavrel::ReadLinkSetup(settings);
    if (headless && !linkSetup.tlsError.empty()) {
        return Fail(true, linkSetup.tlsError, kExitUsage);
    }
    const QHostAddress linkAddress = linkSetup.tlsError.empty() ? address : QHostAddress(QHostAddress::LocalHost);

    std::optional<std::int32_t> minPassMs;
    if (parser.isSet(QStringLiteral("min-pass-ms"))) {
        bool msOk = false;
        const int ms = parser.value(QStringLiteral("min-pass-ms")).toInt(&msOk);
        if (!msOk || ms < 0 || ms > tavrel::common::kMaxMinPassMs) {
            return Fail(headless,
                        "--min-pass-ms takes a whole number from 0 to " + std::to_string(tavrel::common::kMaxMinPassMs)
                            + ", not '" + parser.value(QStringLiteral("min-pass-ms")).toStdString() + "'",
                        kExitUsage);
        }
        minPassMs = ms;
    }

    tavrel::app::Program program(
        std::move(settings),
        [map](const tavrel::model::clsPlc& plc) {
            return std::make_shared<tavrel::comm::modbus::ModbusDriver>(map, plc.Params().PlcType);
        },
        *templatePath);

    program.Environment().ReconnectDelaySeconds = reconnectSeconds;
    if (minPassMs) {
        program.OverrideMinPassMs(*minPassMs);
    }
    // Every poke and command from every surface, carried out or refused.
    const tavrel::common::AuditSettings audit = tavrel::common::ReadAuditSettings(program.Settings());
    program.Service().SetAuditTrail(std::make_unique<tavrel::app::AuditTrail>(audit.file, audit.maxBytes));

    // The link server listens only once the start-up project is in place, so that no client runs or reads the
    // empty project that start-up is about to replace.
    tavrel::link::LinkServer server(program.Service(), linkLimits);
    server.SetAccess(linkSetup.access);
    server.SetTls(linkSetup.tls);
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &server,
                     &tavrel::link::LinkServer::SayGoodbye);
    const auto listen = [&server, &linkSetup, linkAddress, listenPort] {
        return linkSetup.error.empty() ? server.Listen(linkAddress, listenPort)
                                       : tl::expected<quint16, std::string>(tl::unexpect, linkSetup.error);
    };

    tavrel::common::MqttOptions mqttOptions = tavrel::common::ReadMqttOptions(program.Settings());
    if (parser.isSet(QStringLiteral("mqtt"))) {
        mqttOptions.Broker = parser.value(QStringLiteral("mqtt")).toStdString();
    }
    tavrel::mqtt::MqttBridge bridge(program.Service());
    if (headless) {
        QObject::connect(&bridge, &tavrel::mqtt::MqttBridge::stateChanged, &bridge, [](auto, const QString& text) {
            std::fprintf(stderr, "%s\n", text.toUtf8().constData());
            std::fflush(stderr);
        });
    }
    // Like the link server, the bridge starts once the start-up project is in place. Says why it could not.
    const auto startMqtt = [&bridge, &mqttOptions]() -> std::string {
        const auto started = tavrel::mqtt::ApplyMqttOptions(bridge, mqttOptions);
        return started ? std::string() : started.error();
    };
    // The OPC UA server, too, listens once the start-up project is in place; port 0 leaves it off. Who may use it
    // is settled before: settings that cannot serve stop a headless start, as the link server's do.
    tavrel::opcua::OpcUaServer opcUa(program.Service());
    const auto opcUaAccess = tavrel::common::ReadOpcUaAccess(program.Settings());
    if (!opcUaAccess) {
        return Fail(headless, opcUaAccess.error(), kExitUsage);
    }
    // Our certificate, made on first start in the store beside the settings. A store that cannot serve keeps the
    // OPC UA server from starting (below), and nothing else.
    auto pki = OpenPki(program.Settings(), opcUaAccess->autoAcceptCertificates);
    {
        tavrel::opcua::OpcUaSecurity security;
        security.access = *opcUaAccess;
        security.usersFile = tavrel::common::UsersFilePath(program.Settings());
        if (pki) {
            security.channel = (*pki)->Security();
        }
        opcUa.SetSecurity(std::move(security));
    }
    const auto startOpcUa = [&opcUa, &opcUaEndpoint, &pki]() -> std::string {
        if (opcUaEndpoint->second == 0) {
            return {};
        }
        if (!pki) {
            return pki.error();
        }
        const auto listening = opcUa.Listen(opcUaEndpoint->first, opcUaEndpoint->second);
        return listening ? std::string() : listening.error();
    };
    const QStringList positional = parser.positionalArguments();
    const std::string projectFile
        = positional.isEmpty() ? std::string() : positional.join(QLatin1Char(' ')).toStdString();

    if (headless) {
        tavrel::Headless host(program);
        tavrel::ServiceNotifier service(program);
        program.SetHost(&host);
        QObject::connect(&instance, &tavrel::app::SingleInstance::anotherStartRefused, [] {
            std::printf("another start with these settings was refused\n");
            std::fflush(stdout);
        });
        if (!host.LoadProject(projectFile)) {
            program.SetHost(nullptr);
            return kExitUsage;
        }
        const auto listening = listen();
        if (!listening) {
            program.SetHost(nullptr);
            return Fail(true, listening.error(), kExitUsage);
        }
        if (const std::string mqttError = startMqtt(); !mqttError.empty()) {
            program.SetHost(nullptr);
            return Fail(true, mqttError, kExitUsage);
        }
        if (const std::string opcUaError = startOpcUa(); !opcUaError.empty()) {
            program.SetHost(nullptr);
            return Fail(true, opcUaError, kExitUsage);
        }
        if (!opcUa.EndpointUrl().isEmpty()) {
            std::printf("OPC UA server on %s\n", opcUa.EndpointUrl().toUtf8().constData());
        }
        if (const std::string warning = opcUa.SecurityWarning(); !warning.empty()) {
            std::fprintf(stderr, "tavrel: %s\n", warning.c_str());
        }
        const QByteArray scheme = server.Scheme().toLatin1();
        std::printf("link server on %s://%s:%u/dde/Tavrel/Items%s\n", scheme.constData(),
                    address.toString().toUtf8().constData(), *listening,
                    server.TokenInForce() ? " (access token required)" : "");
        std::printf("live page on %s://%s:%u/\n", scheme.constData(), address.toString().toUtf8().constData(),
                    *listening);
        std::fflush(stdout);
        if (const std::string warning = tavrel::PlainHttpWarning(address, linkSetup); !warning.empty()) {
            std::fprintf(stderr, "tavrel: %s\n", warning.c_str());
        }
        QObject::connect(&server, &tavrel::link::LinkServer::clientNotice, [](const QString& notice) {
            std::printf("%s\n", notice.toUtf8().constData());
            std::fflush(stdout);
        });
        tavrel::StopOnSignals(program, [&service] { service.Stopping(); });
        host.Run();
        service.Ready();
        const int code = QCoreApplication::exec();
        program.SetHost(nullptr);
        return code;
    }
#if TAVREL_WITH_WINDOW
    tavrel::ui::WindowStart windowStart;
    windowStart.instance = &instance;
    windowStart.startServing
        = [&listen, &startMqtt, &startOpcUa, &opcUa, &linkSetup, &program, linkAddress](QWidget* window) {
              if (!linkSetup.tlsError.empty()) {
                  QMessageBox::warning(
                      window, QStringLiteral("Tavrel"),
                      QString::fromStdString(linkSetup.tlsError
                                             + "\nThe link server serves without TLS, on this computer only "
                                               "(127.0.0.1), until LinkCertFile and LinkKeyFile are mended."));
              }
              if (const std::string warning = tavrel::PlainHttpWarning(linkAddress, linkSetup); !warning.empty()) {
                  program.Service().Events().Add(tavrel::app::EventKind::Client, QString::fromStdString(warning));
              }
              const auto listening = listen();
              if (!listening) {
                  QMessageBox::warning(window, QStringLiteral("Tavrel"),
                                       QString::fromStdString(listening.error()
                                                              + "\nThe items are not served until the link server "
                                                                "address or port is changed in Options."));
              }
              if (const std::string opcUaError = startOpcUa(); !opcUaError.empty()) {
                  QMessageBox::warning(window, QStringLiteral("Tavrel"),
                                       QString::fromStdString(opcUaError
                                                              + "\nNothing is served over OPC UA until its address or "
                                                                "port is changed in Options."));
              } else if (const std::string warning = opcUa.SecurityWarning(); !warning.empty()) {
                  program.Service().Events().Add(tavrel::app::EventKind::Client, QString::fromStdString(warning));
              }
              if (const std::string mqttError = startMqtt(); !mqttError.empty()) {
                  QMessageBox::warning(window, QStringLiteral("Tavrel"),
                                       QString::fromStdString(mqttError
                                                              + "\nNothing is published to MQTT until the broker "
                                                                "settings are changed in Options."));
              }
          };
    windowStart.statusParts.emplace_back(
        [&server] { return QStringLiteral("link clients %1").arg(server.SessionCount()); });
    windowStart.statusParts.emplace_back([&opcUa] {
        return opcUa.EndpointUrl().isEmpty()
            ? QStringLiteral("OPC UA off")
            : QStringLiteral("%1 sessions %2").arg(opcUa.EndpointUrl()).arg(opcUa.SessionCount());
    });
    windowStart.commandLineFile = QString::fromStdString(projectFile);
    windowStart.showSplash = !parser.isSet(QStringLiteral("no-splash"));
    windowStart.screenshotFolder = parser.value(QStringLiteral("screenshots"));
    windowStart.mqttBridge = &bridge;
    windowStart.moveLinkServer
        = [&server](const std::string& newAddress, std::uint16_t newPort) -> std::optional<std::string> {
        QHostAddress where;
        if (!where.setAddress(QString::fromStdString(newAddress))) {
            return "'" + newAddress + "' is no IP address";
        }
        auto moved = server.Move(where, newPort);
        return moved ? std::nullopt : std::optional<std::string>(moved.error());
    };
    windowStart.moveOpcUaServer
        = [&opcUa](const std::string& newAddress, std::uint16_t newPort) -> std::optional<std::string> {
        QHostAddress where;
        if (!where.setAddress(QString::fromStdString(newAddress))) {
            return "'" + newAddress + "' is no IP address";
        }
        if (newPort == 0) {
            opcUa.Close();
            return std::nullopt;
        }
        auto moved = opcUa.Listen(where, newPort);
        return moved ? std::nullopt : std::optional<std::string>(moved.error());
    };
    return tavrel::ui::RunWindow(program, windowStart);
#else
    return Fail(true, "this build has no window; run it with --headless", kExitUsage);
#endif
}
