// The Tavrel of the OPC UA benchmark: a program whose simulated PLC holds, in every operand, the moment it was read
// (microseconds of the monotonic clock modulo 10^9), served by the OPC UA server. A client that reads the same
// clock knows how long each change took to reach it. Run by bench/opcua/opcua_bench.js.
//
//   tavrel-bench-opcua-instance [--items N] [--pass-ms M] [--exchange-ms E] [--secure 1]
//
// A pass starts every M milliseconds (MinPassMs) and its exchange with the PLC takes E of them: like the reads of a
// PLC on the plant's network, the exchange holds up the program's event loop, and with it every client surface,
// for that long. Prints "OPC UA server on opc.tcp://127.0.0.1:PORT/" once it serves, and runs passes until it is
// ended.
#include "ClockPlc.h"
#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "opcua/OpcUaServer.h"
#include "opcua/crypto/Pki.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QSocketNotifier>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace tavrel;
using bench::ClockPlc;

int main(int argc, char** argv)
{
    int items = 10000;
    int passMs = 100;
    int exchangeMs = 20;
    bool secure = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--items") {
            items = std::atoi(argv[i + 1]);
        } else if (name == "--pass-ms") {
            passMs = std::atoi(argv[i + 1]);
        } else if (name == "--exchange-ms") {
            exchangeMs = std::atoi(argv[i + 1]);
        } else if (name == "--secure") {
            secure = std::atoi(argv[i + 1]) != 0;
        } else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 2;
        }
    }
    QCoreApplication application(argc, argv);
    char folder[] = "/tmp/tavrel-bench-opcua-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    app::Program program(
        common::Settings(std::filesystem::path(folder) / "bench.ini", "tavrel"),
        [exchangeMs](const model::clsPlc&) { return std::make_shared<ClockPlc>(exchangeMs); },
        std::filesystem::path(folder) / "none.tvb");
    auto plc = program.Project().NewPlc();
    plc->Name = "Clock_1";
    model::CommParams params = plc->GetCommParams();
    params.PathWay = model::PathWay::TcpIp;
    params.EthRemoteIP = "127.0.0.1";
    params.EthRemotePort = 20000;
    plc->SetCommParams(params);
    auto& added = program.Project().AddPLC(std::move(plc));
    constexpr int kVectorLength = 50;
    for (int first = 0; first < items; first += kVectorLength) {
        std::int32_t label = -1;
        (void)added.AddItems(std::min(kVectorLength, items - first), first, common::operand::ML,
                             common::direction::Read, true, label);
    }

    opcua::OpcUaServer server(program.Service());
    // With --secure 1 the server has a certificate of its own and trusts every client's: signed and encrypted
    // channels are measured, not the trust.
    std::unique_ptr<opcua::crypto::Pki> pki;
    if (secure) {
        auto opened = opcua::crypto::Pki::Open(std::filesystem::path(folder) / "pki",
                                               opcua::crypto::HostIdentity(opcua::OpcUaServer::ApplicationUri()), true,
                                               QDateTime::currentMSecsSinceEpoch());
        if (!opened) {
            std::fprintf(stderr, "%s\n", opened.error().c_str());
            return 1;
        }
        pki = std::move(*opened);
        opcua::OpcUaSecurity security;
        security.channel = pki->Security();
        server.SetSecurity(std::move(security));
    }
    const auto listening = server.Listen(QHostAddress::LocalHost, 0);
    if (!listening) {
        std::fprintf(stderr, "%s\n", listening.error().c_str());
        return 1;
    }
    std::printf("OPC UA server on %s\n", server.EndpointUrl().toUtf8().constData());
    std::fflush(stdout);
    // Ends when standard input closes, so that the benchmark's end ends it too.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    program.OverrideMinPassMs(passMs);
    program.ToggleRun();
    const int code = QCoreApplication::exec();
    program.Stop();
    std::filesystem::remove_all(folder);
    return code;
}
