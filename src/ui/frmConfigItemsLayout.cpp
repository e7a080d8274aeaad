// The controls of the Define PLC dialog and how they are laid out and wired.
#include "model/clsPlc.h"
#include "ui/DefinePlcLists.h"
#include "ui/IpAddressEdit.h"
#include "ui/ItemDetailsBox.h"
#include "ui/frmConfigItems.h"

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
#include <QVBoxLayout>

namespace tavrel::ui {

namespace {

constexpr int kPlcTypeDropDownWidth = 250;

QComboBox* NewList(QWidget* parent, const char* name)
{
    auto* list = new QComboBox(parent);
    list->setObjectName(QString::fromLatin1(name));
    return list;
}

} // namespace

using defineplc::ChosenCode;

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
    m_txtScanMs = new QLineEdit(plcGroup);
    m_txtScanMs->setObjectName(QStringLiteral("txtScanMs"));
    m_txtScanMs->setPlaceholderText(QStringLiteral("every pass"));
    m_txtScanMs->setToolTip(QStringLiteral("Exchange with this PLC at most once in so many milliseconds (0 to %1); "
                                           "empty: in every pass")
                                .arg(model::kMaxScanMs));
    plcForm->addRow(QStringLiteral("Scan every (ms):"), m_txtScanMs);

    // The operands group, left middle.
    auto* operandGroup = new QGroupBox(QStringLiteral("Operands"), this);
    m_cbOpType = NewList(operandGroup, "cbOpType");
    m_txtOpAddress = new QLineEdit(operandGroup);
    m_txtOpAddress->setObjectName(QStringLiteral("txtOpAddress"));
    m_txtLength = new QLineEdit(operandGroup);
    m_txtLength->setObjectName(QStringLiteral("txtLength"));
    auto* operandForm = new QFormLayout(operandGroup);
    operandForm->addRow(QStringLiteral("Type:"), m_cbOpType);
    operandForm->addRow(QStringLiteral("Start Address:"), m_txtOpAddress);
    m_txtOpAddress->setToolTip(QStringLiteral("On a Modbus device the protocol address 0-65535, or a 1-based "
                                              "reference: 400001 or 40001 is holding register 0"));
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
    m_cmdTestConnection = new QPushButton(QStringLiteral("Test connection"), commGroup);
    m_cmdTestConnection->setObjectName(QStringLiteral("cmdTestConnection"));
    m_cmdTestConnection->setToolTip(QStringLiteral("Tries these parameters once: opens the channel and reads MI 0."));
    m_lblTestResult = new QLabel(commGroup);
    m_lblTestResult->setObjectName(QStringLiteral("lblTestResult"));
    m_lblTestResult->setWordWrap(true);
    m_lblTestResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    commLayout->addWidget(m_cmdTestConnection, 2, 0, Qt::AlignLeft);
    commLayout->addWidget(m_lblTestResult, 3, 0);
    commLayout->setRowStretch(4, 1);

    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setDefault(true);
    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    // Why OK is disabled, where the eye goes for OK.
    m_lblOkHint = new QLabel(this);
    m_lblOkHint->setObjectName(QStringLiteral("lblOkHint"));
    m_lblOkHint->setWordWrap(true);
    m_lblOkHint->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_lblOkHint->setStyleSheet(QStringLiteral("color: #b71c1c;"));
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
    m_details = new ItemDetailsBox(this);
    m_details->setFocusProxy(m_details->findChild<QLineEdit*>(QStringLiteral("txtTagName")));
    auto* right = new QVBoxLayout;
    right->addWidget(commGroup, 1);
    right->addWidget(m_details);
    right->addWidget(m_lblOkHint);
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
    setTabOrder(m_txtRemotePort, m_cmdTestConnection);
    setTabOrder(m_cmdTestConnection, m_details);

    connect(m_cbPLCType, &QComboBox::currentIndexChanged, this, [this] { OnPlcTypeChosen(); });
    connect(m_cbConnectionType, &QComboBox::currentIndexChanged, this, [this] {
        ShowCommFrame(model::PathWay { ChosenCode(*m_cbConnectionType).value_or(0) });
        UpdateOkButton();
    });
    connect(m_cbPLC, &QComboBox::currentIndexChanged, this, [this](int index) { OnPlcNameChosen(index); });
    connect(m_cbPLC, &QComboBox::editTextChanged, this, [this] { UpdateOkButton(); });
    connect(m_cbOpType, &QComboBox::currentIndexChanged, this, [this] {
        m_details->SetOperand(ChosenCode(*m_cbPLCType).value_or(-1), ChosenCode(*m_cbOpType));
        UpdateOkButton();
    });
    connect(m_txtOpAddress, &QLineEdit::editingFinished, this, [this] { ShowDeviceAddress(); });
    connect(m_details, &ItemDetailsBox::changed, this, [this] { UpdateOkButton(); });
    connect(m_cbDirection, &QComboBox::currentIndexChanged, this, [this] { UpdateOkButton(); });
    connect(m_txtOpAddress, &QLineEdit::textChanged, this, [this] { UpdateOkButton(); });
    connect(m_txtLength, &QLineEdit::textChanged, this, [this] { UpdateOkButton(); });
    connect(m_optIP, &QRadioButton::toggled, this, [this] {
        OnAddressKindChosen();
        UpdateOkButton();
    });
    connect(m_ctIpCOnfig, &QLineEdit::textChanged, this, [this] { UpdateOkButton(); });
    connect(m_txtRemotePort, &QLineEdit::textChanged, this, [this] { UpdateOkButton(); });
    connect(m_cmdTestConnection, &QPushButton::clicked, this, [this] { OnTestConnection(); });
    connect(&m_testWatcher, &QFutureWatcher<app::ConnectionTestResult>::finished, this,
            [this] { ShowTestResult(m_testWatcher.result()); });
    connect(m_cmdOK, &QPushButton::clicked, this, [this] { OnOk(); });
    connect(m_cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

} // namespace tavrel::ui
