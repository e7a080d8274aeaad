#include "ui/frmConfigItems.h"

#include "common/DeviceItems.h"
#include "common/FieldRanges.h"
#include "common/ItemRules.h"
#include "common/NumberText.h"
#include "common/PlcFamilies.h"
#include "common/ValueConversions.h"
#include "model/LabelArray.h"
#include "model/clsConfig.h"
#include "ui/DefinePlcLists.h"
#include "ui/IpAddressEdit.h"
#include "ui/ItemDetailsBox.h"
#include "ui/WindowTools.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPromise>
#include <QPushButton>
#include <QRadioButton>

#include <array>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

namespace tavrel::ui {

namespace {

using Entry = std::pair<const char*, int>;

constexpr std::array<Entry, 2> kConnectionTypes { { { "Serial", 1 }, { "TCP/IP", 2 } } };
/// The whole number of a text, rounded half to even; 0 for a text that is not one.
std::int32_t WholeNumber(const QString& text)
{
    const auto number = common::ParseWholeNumber(text.toStdString(), std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max());
    return number ? static_cast<std::int32_t>(*number) : 0;
}

/// "lblDDE(7)" for a single item, "lblDDE(5) to lblDDE(7)" for a vector.
QString ItemName(const model::Clsitem& item)
{
    const auto operands = item.Operands();
    const QString first = QString::fromStdString(model::LabelName(operands.front().Label.Index()));
    if (operands.size() == 1) {
        return first;
    }
    return first + QStringLiteral(" to ") + QString::fromStdString(model::LabelName(operands.back().Label.Index()));
}

/// The problem of a field's text, marked on the field; nothing for an empty text, which only OK asks for.
std::optional<std::string> MarkProblem(QLineEdit& field, bool checked,
                                       const std::function<std::optional<std::string>(std::string_view)>& check)
{
    const std::string text = field.text().toStdString();
    const auto problem = checked && !text.empty() ? check(text) : std::nullopt;
    MarkField(field, problem ? QString::fromStdString(*problem) : QString());
    return problem;
}

// The scan interval typed, into `value`: nothing (an empty text) for every pass, else a whole number of milliseconds
// within range; false, leaving `value` alone, for any other text.
bool ReadScanMs(const QString& text, std::optional<std::int32_t>& value)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        value.reset();
        return true;
    }
    bool ok = false;
    const int milliseconds = trimmed.toInt(&ok);
    if (!ok || milliseconds < 0 || milliseconds > model::kMaxScanMs) {
        return false;
    }
    value = milliseconds;
    return true;
}

} // namespace

using defineplc::ChosenCode;
using defineplc::IsUnknownChosen;
using defineplc::ShowCode;

frmConfigItems::frmConfigItems(QWidget* parent, app::ConnectionTester tester)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmConfigItems"));
    setWindowTitle(QStringLiteral("Define PLC"));
    BuildControls();
    ApplyFormFont(*this);
    // The hint line keeps its place when empty, so that the fixed-size dialog does not jump as it comes and goes.
    m_lblOkHint->setMinimumHeight(m_lblOkHint->fontMetrics().lineSpacing());
    // Room for a test result of three lines, for the same reason.
    m_lblTestResult->setMinimumHeight(m_lblTestResult->fontMetrics().lineSpacing() * 3);
    SetConnectionTester(std::move(tester));
}

// A test still under way finishes on its own thread and its result goes nowhere.
frmConfigItems::~frmConfigItems() = default;

void frmConfigItems::SetConnectionTester(app::ConnectionTester tester)
{
    m_tester = std::move(tester);
    m_cmdTestConnection->setVisible(static_cast<bool>(m_tester));
    m_lblTestResult->setVisible(static_cast<bool>(m_tester));
}

void frmConfigItems::BuildLists()
{
    // Filling a list is no choice of the user: no reaction runs until the stored values are shown.
    const auto fill = [](QComboBox& list, auto&& addEntries) {
        const QSignalBlocker blocker(list);
        list.clear();
        addEntries(list);
        list.setCurrentIndex(-1);
    };
    fill(*m_cbConnectionType, [](QComboBox& list) {
        for (const auto& [text, code] : kConnectionTypes) {
            list.addItem(QString::fromLatin1(text), code);
        }
    });
    fill(*m_cbPCPort, defineplc::AddComPorts);
    fill(*m_cbBaudRate, defineplc::AddBaudRates);
    fill(*m_cbTimeOut, defineplc::AddTimeOuts);
    fill(*m_cbRetries, defineplc::AddRetries);
    fill(*m_cbUnitID, defineplc::AddUnitIds);
    {
        const QSignalBlocker blocker(m_cbOpType);
        FillOperandTypes();
    }
    fill(*m_cbDirection, defineplc::AddDirections);
    if (m_project != nullptr) {
        fill(*m_cbPLC, [this](QComboBox& list) {
            for (const auto& plc : m_project->colPlcs()) {
                list.addItem(QString::fromStdString(plc->Name), plc->Key);
            }
        });
        const QSignalBlocker blocker(m_cbPLC);
        m_cbPLC->clearEditText();
    }
    fill(*m_cbPLCType, defineplc::AddPlcTypes);
    fill(*m_cbDataBits, defineplc::AddDataBits);
    fill(*m_cbParity, defineplc::AddParities);
    fill(*m_cbStopBits, defineplc::AddStopBits);
    UpdateOkButton();
}

void frmConfigItems::FillOperandTypes()
{
    m_cbOpType->clear();
    defineplc::AddOperandTypes(*m_cbOpType, ChosenCode(*m_cbPLCType).value_or(-1));
    m_cbOpType->setCurrentIndex(-1);
}

void frmConfigItems::ShowPlc(const model::clsPlc& plc)
{
    const model::CommParams params = plc.GetCommParams();
    ShowCode(*m_cbPLCType, params.PlcType);
    ShowCode(*m_cbUnitID, params.UnitId);
    ShowCode(*m_cbConnectionType, static_cast<int>(params.PathWay));
    ShowCode(*m_cbPCPort, params.SerialComPort);
    ShowCode(*m_cbBaudRate, params.SerialBaudRate);
    ShowCode(*m_cbTimeOut, params.TimeOut);
    ShowCode(*m_cbRetries, params.NumRetries);
    ShowCode(*m_cbDataBits, params.DataBits);
    ShowCode(*m_cbParity, params.Parity);
    ShowCode(*m_cbStopBits, params.StopBits);
    m_txtScanMs->setText(params.ScanMs ? QString::number(*params.ScanMs) : QString());
    const QString remote = QString::fromStdString(params.EthRemoteIP);
    if (common::IsValidIpAddressText(params.EthRemoteIP)) {
        m_optIP->setChecked(true);
        m_ctIpCOnfig->SetAddress(remote);
    } else if (!remote.isEmpty()) {
        m_optHostName->setChecked(true);
        m_txtHostName->setText(remote);
    }
    // A PLC without a port yet is proposed the Modbus TCP port.
    m_txtRemotePort->setText(
        QString::number(params.EthRemotePort == 0 ? common::kProposedRemotePort : params.EthRemotePort));
}

void frmConfigItems::ShowItem(const model::Clsitem& item)
{
    SelectComboByItemData(*m_cbOpType, item.OperandType);
    SelectComboByItemData(*m_cbDirection, item.IoDirection);
    m_txtOpAddress->setText(QString::number(item.OperandAddress));
    m_ckEnable->setChecked(item.IsEnable);
    m_txtLength->setText(QString::number(item.Length()));
    m_details->ShowDetails(item.Details);
}

void frmConfigItems::ShowCommFrame(model::PathWay pathWay)
{
    if (pathWay == model::PathWay::Serial) {
        m_fSerial->show();
        m_fEthernet->hide();
    } else if (pathWay == model::PathWay::TcpIp) {
        m_fEthernet->show();
        m_fSerial->hide();
    }
}

void frmConfigItems::UpdateOkButton()
{
    const QString missing = MissingForOk();
    m_cmdOK->setEnabled(missing.isEmpty());
    m_cmdOK->setToolTip(missing);
    m_lblOkHint->setText(missing);
}

QString frmConfigItems::MissingForOk()
{
    const int plcType = ChosenCode(*m_cbPLCType).value_or(-1);
    const std::optional<int> operandType = ChosenCode(*m_cbOpType);
    const bool tcp = ChosenCode(*m_cbConnectionType) == static_cast<int>(model::PathWay::TcpIp);
    // Addresses have a range only on a known PLC type; OK names an unknown type.
    const bool knownType = common::FindPlcFamily(plcType) != nullptr;
    const bool device = plcType == common::plctype::ModbusDevice;
    const auto address = MarkProblem(*m_txtOpAddress, knownType && operandType, [&](std::string_view text) {
        if (!device) {
            return common::StartAddressProblem(plcType, *operandType, text);
        }
        const auto place = common::ParseDeviceAddress(text, *operandType);
        return place ? std::nullopt : std::optional<std::string>(place.error());
    });
    const auto length = MarkProblem(*m_txtLength, true, common::LengthProblem);
    const auto port = MarkProblem(*m_txtRemotePort, tcp, common::RemotePortProblem);
    const auto ip = MarkProblem(*m_ctIpCOnfig, tcp && m_optIP->isChecked(), common::IpAddressProblem);

    // In the order of the dialog: what is missing first, then what does not fit.
    const std::pair<bool, QString> needs[] {
        { m_cbPLC->currentText().isEmpty(), QStringLiteral("Give the PLC a name") },
        { !operandType, QStringLiteral("Choose an operand type") },
        { m_txtOpAddress->text().isEmpty(), QStringLiteral("Give the start address") },
        { m_txtLength->text().isEmpty(), QStringLiteral("Give the length") },
        { m_cbDirection->currentIndex() < 0, QStringLiteral("Choose a direction") },
        { tcp && m_txtRemotePort->text().isEmpty(), QStringLiteral("Give the remote port") },
    };
    for (const auto& [missing, text] : needs) {
        if (missing) {
            return text;
        }
    }
    for (const auto* problem : { &address, &length, &port, &ip }) {
        if (*problem) {
            return QString::fromStdString(**problem);
        }
    }
    common::ItemDetails details;
    const auto problem = knownType ? ItemProblem(details) : std::nullopt;
    return problem ? QString::fromStdString(*problem) : QString();
}

void frmConfigItems::OnPlcTypeChosen()
{
    const common::SerialFraming framing = common::ProposedFraming(ChosenCode(*m_cbPLCType).value_or(-1));
    SelectComboByItemData(*m_cbDataBits, framing.dataBits);
    SelectComboByItemData(*m_cbParity, framing.parity);
    SelectComboByItemData(*m_cbStopBits, framing.stopBits);
    FillOperandTypes();
    m_details->SetOperand(ChosenCode(*m_cbPLCType).value_or(-1), ChosenCode(*m_cbOpType));
    UpdateOkButton();
}

void frmConfigItems::OnPlcNameChosen(int index)
{
    if (index < 0 || m_project == nullptr) {
        return;
    }
    if (const model::clsPlc* plc = m_project->FindPlc(m_cbPLC->itemData(index).toInt())) {
        ShowPlc(*plc);
    }
    UpdateOkButton();
}

void frmConfigItems::OnAddressKindChosen()
{
    if (m_optIP->isChecked()) {
        m_txtHostName->hide();
        m_ctIpCOnfig->show();
    } else {
        m_txtHostName->show();
        m_ctIpCOnfig->hide();
        if (isVisible()) {
            m_txtHostName->setFocus();
        }
    }
}

void frmConfigItems::PrepareAddNewItems(model::clsConfig& pDDEConfig)
{
    m_project = &pDDEConfig;
    m_newPlc = pDDEConfig.NewPlc();
    m_plc = m_newPlc.get();
    m_item = nullptr;
    m_ok = false;
    setWindowTitle(QStringLiteral("Define PLC"));
    BuildLists();
    ShowPlc(*m_plc);
    UpdateOkButton();
}

bool frmConfigItems::PrepareEditItem(model::clsConfig& pDDEConfig, std::int32_t pPlcKey, std::int32_t pItemKey)
{
    model::clsPlc* plc = pDDEConfig.FindPlc(pPlcKey);
    model::Clsitem* item = plc != nullptr ? plc->FindItem(pItemKey) : nullptr;
    if (item == nullptr) {
        return false;
    }
    m_project = &pDDEConfig;
    m_newPlc.reset();
    m_plc = plc;
    m_item = item;
    m_ok = false;
    setWindowTitle(QStringLiteral("Edit item \u2013 %1 of %2").arg(ItemName(*item), QString::fromStdString(plc->Name)));
    BuildLists();
    ShowPlc(*m_plc);
    ShowItem(*m_item);
    SelectComboByItemData(*m_cbPLC, m_plc->Key);
    m_cbPLC->setEnabled(false);
    m_txtLength->setEnabled(false);
    UpdateOkButton();
    return true;
}

void frmConfigItems::OnOk()
{
    if (!ValidateInput()) {
        return;
    }
    m_ok = true;
    accept();
}

bool frmConfigItems::ValidateInput()
{
    const auto refuse = [this](const QString& message) {
        ShowExclamation(this, message);
        return false;
    };

    // Stored values the lists do not offer cannot be written back.
    const auto unknown = [](const QComboBox& list) { return IsUnknownChosen(list); };
    const auto refuseUnknown = [&](const char* what, const QComboBox& list) {
        return refuse(QStringLiteral("%1 %2 is not one this program knows; choose one from the list.")
                          .arg(QString::fromLatin1(what))
                          .arg(list.currentData().toInt()));
    };
    if (unknown(*m_cbPLCType)) {
        return refuseUnknown("PLC type", *m_cbPLCType);
    }
    if (unknown(*m_cbUnitID)) {
        return refuseUnknown("Unit ID", *m_cbUnitID);
    }
    if (unknown(*m_cbConnectionType)) {
        return refuseUnknown("Connection type", *m_cbConnectionType);
    }
    const model::PathWay pathWay { ChosenCode(*m_cbConnectionType).value_or(0) };
    if (pathWay == model::PathWay::Serial) {
        const std::array<std::pair<const char*, const QComboBox*>, 7> serialLists {
            { { "PC port", m_cbPCPort },
              { "Baud rate", m_cbBaudRate },
              { "Time-out", m_cbTimeOut },
              { "Retries value", m_cbRetries },
              { "Data bits value", m_cbDataBits },
              { "Parity", m_cbParity },
              { "Stop bits value", m_cbStopBits } }
        };
        for (const auto& [what, list] : serialLists) {
            if (unknown(*list)) {
                return refuseUnknown(what, *list);
            }
        }
    }

    // The operand rules of families 0-5 are their own; every item's details and a Modbus device's tables are checked
    // by the one check of an item's definition.
    const std::int32_t plcType = ChosenCode(*m_cbPLCType).value_or(-1);
    if (plcType != common::plctype::ModbusDevice) {
        const std::string startText = m_txtOpAddress->text().toStdString();
        const std::string lengthText = m_txtLength->text().toStdString();
        const auto run = common::CheckItemDraft({ .plcType = plcType,
                                                  .operandType = ChosenCode(*m_cbOpType).value_or(-1),
                                                  .direction = ChosenCode(*m_cbDirection).value_or(-1),
                                                  .startText = startText,
                                                  .lengthText = lengthText });
        if (!run) {
            return refuse(QString::fromStdString(run.error()));
        }
    } else if (!TypedDeviceAddress()) {
        return refuse(QStringLiteral("Start Address: %1").arg(m_txtOpAddress->toolTip()));
    }
    if (common::ItemDetails details; const auto problem = ItemProblem(details)) {
        return refuse(QString::fromStdString(*problem));
    }

    if (std::optional<std::int32_t> scanMs; !ReadScanMs(m_txtScanMs->text(), scanMs)) {
        return refuse(QStringLiteral("Scan every must be a whole number of milliseconds from 0 to %1, or empty to "
                                     "exchange with the PLC in every pass.")
                          .arg(model::kMaxScanMs));
    }
    if (pathWay == model::PathWay::TcpIp) {
        if (common::RemotePortProblem(m_txtRemotePort->text().toStdString())) {
            return refuse(QStringLiteral("Remote Port must be a whole number from %1 to %2.")
                              .arg(common::kLowestRemotePort)
                              .arg(common::kHighestRemotePort));
        }
        if (m_optIP->isChecked() && !m_ctIpCOnfig->IsComplete()) {
            return refuse(QStringLiteral("Remote IP must be four numbers from 0 to 255, separated by dots."));
        }
    }
    return true;
}

void frmConfigItems::ReadCommValues(model::CommParams& params) const
{
    params.PlcType = ChosenCode(*m_cbPLCType).value_or(params.PlcType);
    params.PathWay = model::PathWay { ChosenCode(*m_cbConnectionType).value_or(static_cast<int>(params.PathWay)) };
    params.UnitId = ChosenCode(*m_cbUnitID).value_or(params.UnitId);
    (void)ReadScanMs(m_txtScanMs->text(), params.ScanMs); // a refused text was refused at OK
    if (params.PathWay == model::PathWay::Serial) {
        params.SerialComPort = static_cast<std::int16_t>(ChosenCode(*m_cbPCPort).value_or(params.SerialComPort));
        params.TimeOut = ChosenCode(*m_cbTimeOut).value_or(params.TimeOut);
        params.NumRetries = static_cast<std::int16_t>(ChosenCode(*m_cbRetries).value_or(params.NumRetries));
        params.SerialBaudRate = ChosenCode(*m_cbBaudRate).value_or(params.SerialBaudRate);
        params.DataBits = ChosenCode(*m_cbDataBits).value_or(params.DataBits);
        params.Parity = ChosenCode(*m_cbParity).value_or(params.Parity);
        params.StopBits = ChosenCode(*m_cbStopBits).value_or(params.StopBits);
    } else if (params.PathWay == model::PathWay::TcpIp) {
        params.EthMode = 0;
        params.EthRemotePort = common::RemotePortOf(m_txtRemotePort->text().toStdString());
        params.EthRemoteIP = (m_optIP->isChecked() ? m_ctIpCOnfig->Address() : m_txtHostName->text()).toStdString();
    }
}

bool frmConfigItems::ApplyToModel()
{
    if (!m_ok || m_project == nullptr || m_plc == nullptr) {
        return false;
    }
    const auto place = TypedDeviceAddress();
    const std::int32_t operandType = place ? place->operandType : ChosenCode(*m_cbOpType).value_or(0);
    const std::int32_t direction = ChosenCode(*m_cbDirection).value_or(0);
    const std::int32_t start = place ? place->address : WholeNumber(m_txtOpAddress->text());
    const bool enabled = m_ckEnable->isChecked();
    common::ItemDetails details;
    (void)ItemProblem(details); // a problem was refused at OK

    if (m_item != nullptr) {
        model::CommParams params = m_plc->GetCommParams();
        ReadCommValues(params);
        m_plc->SetCommParams(params);
        // The item's own fields, then those of each operand it stands for: itself, or a vector's elements.
        m_item->OperandType = operandType;
        m_item->OperandAddress = start;
        m_item->IoDirection = direction;
        m_item->IsEnable = enabled;
        m_item->Details = details;
        const std::int32_t stride = m_item->ElementStride();
        std::int32_t position = 0;
        for (model::Clsitem& operand : m_item->Operands()) {
            operand.OperandType = operandType;
            operand.OperandAddress = start + position * stride;
            operand.IoDirection = direction;
            operand.IsEnable = enabled;
            operand.Details = details;
            operand.Details.name = common::ElementTagName(details.name, position++);
        }
        return true;
    }

    // The PLC whose name is exactly the text of the name box (chosen from the list, or typed letter for
    // letter) takes the item instead of a new one.
    model::clsPlc* target = m_plc;
    const int chosen = m_cbPLC->findText(m_cbPLC->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (chosen >= 0) {
        if (model::clsPlc* existing = m_project->FindPlc(m_cbPLC->itemData(chosen).toInt())) {
            target = existing;
        }
    }
    target->Name = m_cbPLC->currentText().toStdString();
    model::CommParams params = target->GetCommParams();
    ReadCommValues(params);
    target->SetCommParams(params);
    std::int32_t labelIndex = -1;
    const auto added = target->AddItems(WholeNumber(m_txtLength->text()), start, operandType, direction, enabled,
                                        labelIndex, details);
    if (!added) {
        ShowExclamation(parentWidget(),
                        QStringLiteral("The item could not be added: %1").arg(QString::fromStdString(added.error())));
    }
    if (target->Key == 0) {
        if (!added) {
            return false; // a new PLC without its item is not added
        }
        m_project->AddPLC(std::move(m_newPlc));
        m_plc = nullptr;
    }
    return true;
}

void frmConfigItems::OnTestConnection()
{
    model::CommParams params = m_plc != nullptr ? m_plc->GetCommParams() : model::CommParams {};
    ReadCommValues(params);
    if (params.PathWay == model::PathWay::TcpIp) {
        const auto port = common::RemotePortProblem(m_txtRemotePort->text().toStdString());
        const bool complete = m_optIP->isChecked() ? m_ctIpCOnfig->IsComplete() : !params.EthRemoteIP.empty();
        if (port || !complete) {
            m_lblTestResult->setText(port ? QString::fromStdString(*port)
                                          : QStringLiteral("Give the remote IP address or host name first"));
            return;
        }
    }
    m_cmdTestConnection->setEnabled(false);
    m_lblTestResult->setStyleSheet({});
    m_lblTestResult->setText(QStringLiteral("Testing\u2026"));
    // The attempt may take the whole time-out: it runs on a thread of its own, which owns copies of all it uses.
    QPromise<app::ConnectionTestResult> promise;
    m_testWatcher.setFuture(promise.future());
    std::thread([promise = std::move(promise), tester = m_tester, params]() mutable {
        promise.start();
        promise.addResult(tester(params));
        promise.finish();
    }).detach();
}

void frmConfigItems::ShowTestResult(const app::ConnectionTestResult& result)
{
    m_cmdTestConnection->setEnabled(true);
    m_lblTestResult->setText(QString::fromStdString(result.text));
    m_lblTestResult->setStyleSheet(result.answered ? QStringLiteral("color: #1b5e20;")
                                                   : QStringLiteral("color: #b71c1c;"));
}

bool frmConfigItems::AddNewItems(model::clsConfig& pDDEConfig, QWidget* parent, app::ConnectionTester tester)
{
    frmConfigItems dialog(parent, std::move(tester));
    dialog.PrepareAddNewItems(pDDEConfig);
    dialog.exec();
    return dialog.ApplyToModel();
}

bool frmConfigItems::EditItem(model::clsConfig& pDDEConfig, std::int32_t pPlcKey, std::int32_t pItemKey,
                              QWidget* parent, app::ConnectionTester tester)
{
    frmConfigItems dialog(parent, std::move(tester));
    if (!dialog.PrepareEditItem(pDDEConfig, pPlcKey, pItemKey)) {
        return false;
    }
    dialog.exec();
    return dialog.ApplyToModel();
}

} // namespace tavrel::ui
