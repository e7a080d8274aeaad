#pragma once

#include "app/ConnectionTester.h"

#include <QDialog>
#include <QFutureWatcher>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace tavrel::model {
class clsConfig;
class clsPlc;
class Clsitem;
struct CommParams;
enum class PathWay : std::int32_t;
} // namespace tavrel::model

namespace tavrel::common {
struct DeviceAddress;
struct ItemDetails;
} // namespace tavrel::common

namespace tavrel::ui {

class IpAddressEdit;
class ItemDetailsBox;

/// The Define PLC dialog: names a new or existing PLC, sets its communication parameters and adds one item
/// to it ("Define PLC"), or changes one item and its PLC's parameters ("Edit item – lblDDE(7) of Line_1"). A
/// typed value that does not fit is marked where it is typed, with its range, and OK stays disabled with the
/// reason beside it. The model changes only after OK has passed validation, and only in ApplyToModel.
class frmConfigItems : public QDialog
{
    Q_OBJECT

public:
    /// A dialog whose Test connection button tries the parameters with `tester`; without one, there is no button.
    explicit frmConfigItems(QWidget* parent = nullptr, app::ConnectionTester tester = {});
    ~frmConfigItems() override;

    /// Define mode, shown modally: true when OK added an item (to a new PLC or to one chosen by name).
    static bool AddNewItems(model::clsConfig& pDDEConfig, QWidget* parent, app::ConnectionTester tester = {});
    /// Edit mode for an item of a PLC, shown modally: true when OK changed them. False, without showing
    /// anything, when the keys name no item.
    static bool EditItem(model::clsConfig& pDDEConfig, std::int32_t pPlcKey, std::int32_t pItemKey, QWidget* parent,
                         app::ConnectionTester tester = {});

    /// Lets the Test connection button try the parameters with `tester` (none: the button is hidden).
    void SetConnectionTester(app::ConnectionTester tester);

    /// Prepares the dialog for a new PLC of the project, with no item shown.
    void PrepareAddNewItems(model::clsConfig& pDDEConfig);
    /// Prepares the dialog for an item of a PLC; false when the keys name no item.
    bool PrepareEditItem(model::clsConfig& pDDEConfig, std::int32_t pPlcKey, std::int32_t pItemKey);
    /// Writes what OK accepted into the model; does nothing and returns false unless OK was accepted.
    bool ApplyToModel();

    /// Set only when OK passed validation.
    bool OkFlag() const { return m_ok; }

    /// Checks the input as OK does; shows the first problem in a message box and returns false.
    bool ValidateInput();

private:
    void BuildControls();
    void BuildLists();
    void FillOperandTypes();
    void ShowPlc(const model::clsPlc& plc);
    void ShowItem(const model::Clsitem& item);
    void ShowCommFrame(model::PathWay pathWay);
    void UpdateOkButton();
    /// What OK still needs, after marking each typed field that does not fit; empty when nothing.
    QString MissingForOk();
    void ReadCommValues(model::CommParams& params) const;
    void OnTestConnection();
    void ShowTestResult(const app::ConnectionTestResult& result);
    void OnPlcTypeChosen();
    void OnPlcNameChosen(int index);
    void OnAddressKindChosen();
    void OnOk();
    /// On a Modbus device: the table and address the typed address names (a 1-based reference brings its table).
    std::optional<common::DeviceAddress> TypedDeviceAddress() const;
    /// On a Modbus device: a typed reference shown back as its table and protocol address.
    void ShowDeviceAddress();
    /// Why the item as typed cannot be, from the shared check of an item's definition and the project's tag names;
    /// the details read into `details` when they do.
    std::optional<std::string> ItemProblem(common::ItemDetails& details);

    // The PLC group.
    QComboBox* m_cbPLC = nullptr;
    QComboBox* m_cbPLCType = nullptr;
    QComboBox* m_cbUnitID = nullptr;
    // The operand groups.
    QComboBox* m_cbOpType = nullptr;
    QLineEdit* m_txtOpAddress = nullptr;
    QLineEdit* m_txtLength = nullptr;
    QCheckBox* m_ckEnable = nullptr;
    QComboBox* m_cbDirection = nullptr;
    ItemDetailsBox* m_details = nullptr;
    // Communication parameters.
    QComboBox* m_cbConnectionType = nullptr;
    QGroupBox* m_fSerial = nullptr;
    QGroupBox* m_fEthernet = nullptr;
    QComboBox* m_cbTimeOut = nullptr;
    QComboBox* m_cbRetries = nullptr;
    QComboBox* m_cbBaudRate = nullptr;
    QComboBox* m_cbPCPort = nullptr;
    QComboBox* m_cbDataBits = nullptr;
    QComboBox* m_cbParity = nullptr;
    QComboBox* m_cbStopBits = nullptr;
    QRadioButton* m_optIP = nullptr;
    QRadioButton* m_optHostName = nullptr;
    IpAddressEdit* m_ctIpCOnfig = nullptr;
    QLineEdit* m_txtHostName = nullptr;
    QLineEdit* m_txtRemotePort = nullptr;
    QLineEdit* m_txtScanMs = nullptr;
    QPushButton* m_cmdTestConnection = nullptr;
    QLabel* m_lblTestResult = nullptr;
    QLabel* m_lblOkHint = nullptr;
    QPushButton* m_cmdOK = nullptr;
    QPushButton* m_cmdCancel = nullptr;

    app::ConnectionTester m_tester;
    /// The test under way, run on a thread of its own; its result arrives through the event loop.
    QFutureWatcher<app::ConnectionTestResult> m_testWatcher;

    model::clsConfig* m_project = nullptr;
    model::clsPlc* m_plc = nullptr;
    model::Clsitem* m_item = nullptr;
    std::unique_ptr<model::clsPlc> m_newPlc;
    bool m_ok = false;
};

} // namespace tavrel::ui
