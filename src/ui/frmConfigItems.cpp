#include "ui/frmConfigItems.h"

#include "common/ItemRules.h"
#include "common/NumberText.h"
#include "common/PlcFamilies.h"
#include "common/ValueConversions.h"
#include "model/clsConfig.h"
#include "ui/DefinePlcLists.h"
#include "ui/IpAddressEdit.h"
#include "ui/WindowTools.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include <array>
#include <limits>
#include <utility>

namespace tavrel::ui {

namespace {

using Entry = std::pair<const char*, int>;

constexpr std::array<Entry, 2> kConnectionTypes { { { "Serial", 1 }, { "TCP/IP", 2 } } };
constexpr int kPlcTypeDropDownWidth = 250;

QComboBox* NewList(QWidget* parent, const char* name)
{
    auto* list = new QComboBox(parent);
    list->setObjectName(QString::fromLatin1(name));
    return list;
}

/// The whole number of a text, rounded half to even; 0 for a text that is not one.
std::int32_t WholeNumber(const QString& text)
{
    const auto number = common::ParseWholeNumber(text.toStdString(), std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max());
    return number ? static_cast<std::int32_t>(*number) : 0;
}

bool IsRemotePortText(const QString& text)
{
    static const QRegularExpression digits(QStringLiteral("^\\s*[0-9]{1,5}\\s*$"));
    return digits.match(text).hasMatch() && text.trimmed().toInt() <= 65535;
}

} // namespace

using defineplc::ChosenCode;
using defineplc::IsUnknownChosen;
using defineplc::ShowCode;

frmConfigItems::frmConfigItems(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmConfigItems"));
    setWindowTitle(QStringLiteral("Define PLC"));
    BuildControls();
    ApplyFormFont(*this);
}

frmConfigItems::~frmConfigItems() = default;

void frmConfigItems::BuildControls()
{
    // The PLC group, top left.
    auto* plcGroup = new QGroupBox(QStringLiteral("PLC"), this);
    m_cbPLC = NewList(plcGroup, "cbPLC");
    m_cbPLC->setEditable(true);
    m_cbPLC->setInsertPolicy(QComboBox::NoInsert);
    // Typing "Line_1" must stay "Line_1" when "Line_10" exists: no completion into an existing name.
    m_cbPLC->setCompleter(nullptr);
    m_cbPLCType = NewList(plcGroup, "cbPLCType");
    m_cbUnitID = NewList(plcGroup, "cbUnitID");
    auto* plcForm = new QFormLayout(plcGroup);
    plcForm->addRow(QStringLiteral("Name:"), m_cbPLC);
    plcForm->addRow(QStringLiteral("Type:"), m_cbPLCType);
    plcForm->addRow(QStringLiteral("Unit ID:"), m_cbUnitID);

    // The operands group, left middle.
    auto* operandGroup = new QGroupBox(QStringLiteral("Operands"), this);
    m_cbOpType = NewList(operandGroup, "cbOpType");
    m_txtOpAddress = new QLineEdit(operandGroup);
    m_txtOpAddress->setObjectName(QStringLiteral("txtOpAddress"));
    m_txtOpAddress->setMaxLength(4);
    m_txtLength = new QLineEdit(operandGroup);
    m_txtLength->setObjectName(QStringLiteral("txtLength"));
    m_txtLength->setMaxLength(4);
    auto* operandForm = new QFormLayout(operandGroup);
    operandForm->addRow(QStringLiteral("Type:"), m_cbOpType);
    operandForm->addRow(QStringLiteral("Start Address:"), m_txtOpAddress);
    operandForm->addRow(QStringLiteral("Length:"), m_txtLength);

    // Enable and Direction, bottom left.
    auto* enableGroup = new QGroupBox(QStringLiteral("Enable"), this);
    m_ckEnable = new QCheckBox(QStringLiteral("Enabled"), enableGroup);
    m_ckEnable->setObjectName(QStringLiteral("ckEnable"));
    m_ckEnable->setChecked(true);
    (new QVBoxLayout(enableGroup))->addWidget(m_ckEnable);
    auto* directionGroup = new QGroupBox(QStringLiteral("Direction"), this);
    m_cbDirection = NewList(directionGroup, "cbDirection");
    (new QVBoxLayout(directionGroup))->addWidget(m_cbDirection);

    // Communication parameters, right: the serial and Ethernet frames share one place.
    auto* commGroup = new QGroupBox(QStringLiteral("Communication Parameters"), this);
    m_cbConnectionType = NewList(commGroup, "cbConnectionType");
    m_fSerial = new QGroupBox(QStringLiteral("Serial"), commGroup);
    m_fSerial->setObjectName(QStringLiteral("fSerial"));
    m_cbTimeOut = NewList(m_fSerial, "cbTimeOut");
    m_cbRetries = NewList(m_fSerial, "cbRetries");
    m_cbBaudRate = NewList(m_fSerial, "cbBaudRate");
    m_cbPCPort = NewList(m_fSerial, "cbPCPort");
    m_cbDataBits = NewList(m_fSerial, "cbDataBits");
    m_cbParity = NewList(m_fSerial, "cbParity");
    m_cbStopBits = NewList(m_fSerial, "cbStopBits");
    auto* serialGrid = new QGridLayout(m_fSerial);
    const auto addSerial = [&](int row, int column, const char* caption, QComboBox* list) {
        serialGrid->addWidget(new QLabel(QString::fromLatin1(caption), m_fSerial), row, column * 2);
        serialGrid->addWidget(list, row, column * 2 + 1);
    };
    addSerial(0, 0, "TimeOut:", m_cbTimeOut);
    addSerial(1, 0, "Retries:", m_cbRetries);
    addSerial(2, 0, "Baud Rate:", m_cbBaudRate);
    addSerial(0, 1, "PC Port:", m_cbPCPort);
    addSerial(1, 1, "Data Bits:", m_cbDataBits);
    addSerial(2, 1, "Parity:", m_cbParity);
    addSerial(3, 1, "Stop Bits:", m_cbStopBits);

    m_fEthernet = new QGroupBox(QStringLiteral("Ethernet"), commGroup);
    m_fEthernet->setObjectName(QStringLiteral("fEthernet"));
    m_optIP = new QRadioButton(QStringLiteral("IP"), m_fEthernet);
    m_optIP->setObjectName(QStringLiteral("optIP"));
    m_optHostName = new QRadioButton(QStringLiteral("Host Name"), m_fEthernet);
    m_optHostName->setObjectName(QStringLiteral("optHostName"));
    m_optIP->setChecked(true);
    m_ctIpCOnfig = new IpAddressEdit(m_fEthernet);
    m_txtHostName = new QLineEdit(m_fEthernet);
    m_txtHostName->setObjectName(QStringLiteral("txtHostName"));
    m_txtHostName->hide();
    m_txtRemotePort = new QLineEdit(m_fEthernet);
    m_txtRemotePort->setObjectName(QStringLiteral("txtRemotePort"));
    auto* ethernetGrid = new QGridLayout(m_fEthernet);
    auto* options = new QHBoxLayout;
    options->addWidget(m_optIP);
    options->addWidget(m_optHostName);
    options->addStretch();
    ethernetGrid->addLayout(options, 0, 0, 1, 2);
    ethernetGrid->addWidget(new QLabel(QStringLiteral("Remote IP:"), m_fEthernet), 1, 0);
    ethernetGrid->addWidget(m_ctIpCOnfig, 1, 1);
    ethernetGrid->addWidget(m_txtHostName, 1, 1);
    ethernetGrid->addWidget(new QLabel(QStringLiteral("Remote Port:"), m_fEthernet), 2, 0);
    ethernetGrid->addWidget(m_txtRemotePort, 2, 1);
    ethernetGrid->setRowStretch(3, 1);

    auto* commLayout = new QGridLayout(commGroup);
    auto* connectionRow = new QHBoxLayout;
    connectionRow->addWidget(new QLabel(QStringLiteral("Connection Type:"), commGroup));
    connectionRow->addWidget(m_cbConnectionType, 1);
    commLayout->addLayout(connectionRow, 0, 0);
    commLayout->addWidget(m_fSerial, 1, 0);
    commLayout->addWidget(m_fEthernet, 1, 0);
    commLayout->setRowStretch(2, 1);

    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setDefault(true);
    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cmdOK);
    buttons->addWidget(m_cmdCancel);

    auto* bottomLeft = new QHBoxLayout;
    bottomLeft->addWidget(enableGroup);
    bottomLeft->addWidget(directionGroup, 1);
    auto* left = new QVBoxLayout;
    left->addWidget(plcGroup);
    left->addWidget(operandGroup);
    left->addLayout(bottomLeft);
    auto* right = new QVBoxLayout;
    right->addWidget(commGroup, 1);
    right->addLayout(buttons);
    auto* whole = new QHBoxLayout(this);
    whole->addLayout(left, 1);
    whole->addLayout(right, 1);
    whole->setSizeConstraint(QLayout::SetFixedSize);

    // Both frames take the size of the larger, so switching between them moves nothing.
    const QSize frameSize = m_fSerial->sizeHint().expandedTo(m_fEthernet->sizeHint());
    m_fSerial->setMinimumSize(frameSize);
    m_fEthernet->setMinimumSize(frameSize);
    m_fEthernet->hide();
    m_cbPLCType->view()->setMinimumWidth(kPlcTypeDropDownWidth);

    setTabOrder(m_cbPLC, m_cbUnitID);
    setTabOrder(m_cbUnitID, m_cbOpType);
    setTabOrder(m_cbOpType, m_txtOpAddress);
    setTabOrder(m_txtOpAddress, m_txtLength);
    setTabOrder(m_txtLength, m_ckEnable);
    setTabOrder(m_ckEnable, m_cbDirection);
    setTabOrder(m_cbDirection, m_cbConnectionType);
    setTabOrder(m_cbConnectionType, m_cmdOK);
    setTabOrder(m_cmdOK, m_cmdCancel);
    setTabOrder(m_cmdCancel, m_cbPLCType);
    setTabOrder(m_cbPLCType, m_cbTimeOut);
    setTabOrder(m_cbTimeOut, m_cbRetries);
    setTabOrder(m_cbRetries, m_cbBaudRate);
    setTabOrder(m_cbBaudRate, m_cbPCPort);
    setTabOrder(m_cbPCPort, m_cbDataBits);
    setTabOrder(m_cbDataBits, m_cbParity);
    setTabOrder(m_cbParity, m_cbStopBits);
    setTabOrder(m_cbStopBits, m_optIP);
    setTabOrder(m_optIP, m_optHostName);
    setTabOrder(m_optHostName, m_ctIpCOnfig);
    setTabOrder(m_ctIpCOnfig, m_txtHostName);
    setTabOrder(m_txtHostName, m_txtRemotePort);

    connect(m_cbPLCType, &QComboBox::currentIndexChanged, this, [this] { OnPlcTypeChosen(); });
    connect(m_cbConnectionType, &QComboBox::currentIndexChanged, this,
            [this] { ShowCommFrame(model::PathWay { ChosenCode(*m_cbConnectionType).value_or(0) }); });
    connect(m_cbPLC, &QComboBox::currentIndexChanged, this, [this](int index) { OnPlcNameChosen(index); });
    connect(m_cbPLC, &QComboBox::editTextChanged, this, [this] { UpdateOkButton(); });
    connect(m_cbOpType, &QComboBox::currentIndexChanged, this, [this] { UpdateOkButton(); });
    connect(m_cbDirection, &QComboBox::currentIndexChanged, this, [this] { UpdateOkButton(); });
    connect(m_txtOpAddress, &QLineEdit::textChanged, this, [this] { UpdateOkButton(); });
    connect(m_txtLength, &QLineEdit::textChanged, this, [this] { UpdateOkButton(); });
    connect(m_optIP, &QRadioButton::toggled, this, [this] { OnAddressKindChosen(); });
    connect(m_cmdOK, &QPushButton::clicked, this, [this] { OnOk(); });
    connect(m_cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
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
    const QString remote = QString::fromStdString(params.EthRemoteIP);
    if (common::IsValidIpAddressText(params.EthRemoteIP)) {
        m_optIP->setChecked(true);
        m_ctIpCOnfig->SetAddress(remote);
    } else if (!remote.isEmpty()) {
        m_optHostName->setChecked(true);
        m_txtHostName->setText(remote);
    }
    m_txtRemotePort->setText(QString::number(params.EthRemotePort));
}

void frmConfigItems::ShowItem(const model::Clsitem& item)
{
    SelectComboByItemData(*m_cbOpType, item.OperandType);
    SelectComboByItemData(*m_cbDirection, item.IoDirection);
    m_txtOpAddress->setText(QString::number(item.OperandAddress));
    m_ckEnable->setChecked(item.IsEnable);
    m_txtLength->setText(QString::number(item.Length()));
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
    m_cmdOK->setEnabled(!m_cbPLC->currentText().isEmpty() && !m_cbOpType->currentText().isEmpty()
                        && !m_txtOpAddress->text().isEmpty() && !m_txtLength->text().isEmpty()
                        && !m_cbDirection->currentText().isEmpty());
}

void frmConfigItems::OnPlcTypeChosen()
{
    const common::SerialFraming framing = common::ProposedFraming(ChosenCode(*m_cbPLCType).value_or(-1));
    SelectComboByItemData(*m_cbDataBits, framing.dataBits);
    SelectComboByItemData(*m_cbParity, framing.parity);
    SelectComboByItemData(*m_cbStopBits, framing.stopBits);
    FillOperandTypes();
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
    setWindowTitle(QStringLiteral("Edit PLC"));
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

    const std::string startText = m_txtOpAddress->text().toStdString();
    const std::string lengthText = m_txtLength->text().toStdString();
    const auto run = common::CheckItemDraft({ .plcType = ChosenCode(*m_cbPLCType).value_or(-1),
                                              .operandType = ChosenCode(*m_cbOpType).value_or(-1),
                                              .direction = ChosenCode(*m_cbDirection).value_or(-1),
                                              .startText = startText,
                                              .lengthText = lengthText });
    if (!run) {
        return refuse(QString::fromStdString(run.error()));
    }

    if (pathWay == model::PathWay::TcpIp) {
        if (!IsRemotePortText(m_txtRemotePort->text())) {
            return refuse(QStringLiteral("Remote Port must be a whole number from 0 to 65535."));
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
        params.EthRemotePort = WholeNumber(m_txtRemotePort->text());
        params.EthRemoteIP = (m_optIP->isChecked() ? m_ctIpCOnfig->Address() : m_txtHostName->text()).toStdString();
    }
}

bool frmConfigItems::ApplyToModel()
{
    if (!m_ok || m_project == nullptr || m_plc == nullptr) {
        return false;
    }
    const std::int32_t operandType = ChosenCode(*m_cbOpType).value_or(0);
    const std::int32_t direction = ChosenCode(*m_cbDirection).value_or(0);
    const std::int32_t start = WholeNumber(m_txtOpAddress->text());
    const bool enabled = m_ckEnable->isChecked();

    if (m_item != nullptr) {
        model::CommParams params = m_plc->GetCommParams();
        ReadCommValues(params);
        m_plc->SetCommParams(params);
        // The item's own fields, then those of each operand it stands for: itself, or a vector's elements.
        m_item->OperandType = operandType;
        m_item->OperandAddress = start;
        m_item->IoDirection = direction;
        m_item->IsEnable = enabled;
        std::int32_t position = 0;
        for (model::Clsitem& operand : m_item->Operands()) {
            operand.OperandType = operandType;
            operand.OperandAddress = start + position++;
            operand.IoDirection = direction;
            operand.IsEnable = enabled;
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
    const auto added
        = target->AddItems(WholeNumber(m_txtLength->text()), start, operandType, direction, enabled, labelIndex);
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

bool frmConfigItems::AddNewItems(model::clsConfig& pDDEConfig, QWidget* parent)
{
    frmConfigItems dialog(parent);
    dialog.PrepareAddNewItems(pDDEConfig);
    dialog.exec();
    return dialog.ApplyToModel();
}

bool frmConfigItems::EditItem(model::clsConfig& pDDEConfig, std::int32_t pPlcKey, std::int32_t pItemKey,
                              QWidget* parent)
{
    frmConfigItems dialog(parent);
    if (!dialog.PrepareEditItem(pDDEConfig, pPlcKey, pItemKey)) {
        return false;
    }
    dialog.exec();
    return dialog.ApplyToModel();
}

} // namespace tavrel::ui
