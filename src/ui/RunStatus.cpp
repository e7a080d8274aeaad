#include "ui/RunStatus.h"

#include "app/Program.h"
#include "model/clsConfig.h"

#include <QTimer>

namespace tavrel::ui {

namespace {

constexpr int kRenewMilliseconds = 500;

} // namespace

RunStatus::RunStatus(app::Program& program, QWidget* parent)
    : QLabel(parent)
    , m_program(program)
{
    setObjectName(QStringLiteral("statusRun"));
    connect(&m_program, &app::Program::runningChanged, this, &RunStatus::OnRunningChanged);
    connect(&m_program, &app::Program::passFinished, this, &RunStatus::OnPassFinished);
    connect(&m_program, &app::Program::plcConnected, this, &RunStatus::Renew);
    connect(&m_program, &app::Program::plcNotConnected, this, &RunStatus::Renew);
    // Passes may stop coming (every PLC down and waiting for its reconnect, long scan intervals): the rate is
    // renewed on time as well, so that it shows what happens now rather than what last happened.
    auto* renewal = new QTimer(this);
    renewal->setObjectName(QStringLiteral("statusRunRenewal"));
    renewal->setInterval(kRenewMilliseconds);
    connect(renewal, &QTimer::timeout, this, [this] {
        if (m_sinceRenewal.isValid() && m_sinceRenewal.elapsed() >= kRenewMilliseconds) {
            Renew();
        }
    });
    connect(&m_program, &app::Program::runningChanged, renewal, [renewal](bool running) {
        if (running) {
            renewal->start();
        } else {
            renewal->stop();
        }
    });
    if (m_program.IsRunning()) {
        renewal->start();
    }
    OnRunningChanged(m_program.IsRunning());
}

void RunStatus::AddPart(Part part)
{
    m_parts.push_back(std::move(part));
}

void RunStatus::OnRunningChanged(bool running)
{
    if (running) {
        m_passesAtRenewal = 0;
        m_sinceRenewal.start();
        m_sinceRunStart.start();
        Renew();
    }
    setVisible(running);
}

void RunStatus::OnPassFinished()
{
    if (m_passesAtRenewal == 0 || m_sinceRenewal.elapsed() >= kRenewMilliseconds) {
        Renew();
    }
}

void RunStatus::Renew()
{
    const std::uint64_t passes = m_program.PassCount();
    // A new run counts from zero again.
    const std::uint64_t newPasses = passes >= m_passesAtRenewal ? passes - m_passesAtRenewal : passes;
    const qint64 elapsed = m_sinceRenewal.isValid() ? m_sinceRenewal.restart() : 0;
    m_passesAtRenewal = passes;
    // Over a short span (a connection change just renewed the text) the run's average says more.
    const qint64 runElapsed = m_sinceRunStart.isValid() ? m_sinceRunStart.elapsed() : 0;
    double perSecond = 0;
    if (elapsed >= kRenewMilliseconds / 2) {
        perSecond = static_cast<double>(newPasses) * 1000.0 / static_cast<double>(elapsed);
    } else if (runElapsed > 0) {
        perSecond = static_cast<double>(passes) * 1000.0 / static_cast<double>(runElapsed);
    }

    int connected = 0;
    int plcs = 0;
    for (const auto& plc : m_program.Project().colPlcs()) {
        ++plcs;
        connected += plc->Connected ? 1 : 0;
    }
    QStringList texts { QStringLiteral("%1 passes/s").arg(perSecond, 0, 'f', 1),
                        QStringLiteral("last pass %1 ms").arg(m_program.LastPassMilliseconds(), 0, 'f', 1),
                        QStringLiteral("PLCs connected %1/%2").arg(connected).arg(plcs) };
    for (const Part& part : m_parts) {
        const QString text = part();
        if (!text.isEmpty()) {
            texts << text;
        }
    }
    setText(texts.join(QStringLiteral("  |  ")));
}

} // namespace tavrel::ui
