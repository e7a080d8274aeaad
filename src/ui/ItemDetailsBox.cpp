#include "ui/ItemDetailsBox.h"

#include "common/DeviceItems.h"
#include "common/PlcFamilies.h"
#include "ui/WindowTools.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

#include <array>
#include <cmath>

namespace tavrel::ui {

namespace {

constexpr std::array<const char*, 11> kDataTypes { "bool",   "int16",   "uint16",  "int32",      "uint32", "int64",
                                                   "uint64", "float32", "float64", "string(16)", "bit(0)" };
constexpr std::array<const char*, 4> kScaleNames { "txtScaleRawLow", "txtScaleRawHigh", "txtScaleLow", "txtScaleHigh" };
constexpr std::array<const char*, 4> kScaleCaptions { "raw low", "raw high", "value low", "value high" };

QLineEdit* NewField(QWidget* parent, const char* name, const QString& placeholder = {})
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(QString::fromLatin1(name));
    field->setPlaceholderText(placeholder);
    return field;
}

QString ScaleText(double number)
{
    return QString::number(number, 'g', 17);
}

} // namespace

ItemDetailsBox::ItemDetailsBox(QWidget* parent)
    : QGroupBox(QStringLiteral("Details"), parent)
{
    setObjectName(QStringLiteral("fDetails"));
    m_txtTagName = NewField(this, "txtTagName", QStringLiteral("e.g. Boiler1.Temp"));
    m_txtTagName->setToolTip(QStringLiteral("A name clients may use instead of the label name: letters, digits and "
                                            "_ . -, unique in the project"));
    m_txtDescription = NewField(this, "txtDescription");
    m_cbDataType = new QComboBox(this);
    m_cbDataType->setObjectName(QStringLiteral("cbDataType"));
    m_cbDataType->setEditable(true);
    m_cbDataType->setInsertPolicy(QComboBox::NoInsert);
    for (const char* type : kDataTypes) {
        m_cbDataType->addItem(QString::fromLatin1(type));
    }
    m_cbDataType->setToolTip(QStringLiteral("string(N) holds N characters, two to a register; bit(K) is bit K "
                                            "(0-15) of a register"));
    m_cbByteOrder = new QComboBox(this);
    m_cbByteOrder->setObjectName(QStringLiteral("cbByteOrder"));
    auto* scaling = new QHBoxLayout;
    for (std::size_t i = 0; i < m_txtScale.size(); ++i) {
        m_txtScale[i] = NewField(this, kScaleNames[i], QString::fromLatin1(kScaleCaptions[i]));
        scaling->addWidget(m_txtScale[i]);
        if (i == 1) {
            scaling->addWidget(new QLabel(QStringLiteral("\u2192"), this));
        }
    }
    m_txtScale[0]->setToolTip(QStringLiteral("Linear scaling: the raw values from raw low to raw high read as the "
                                             "values from value low to value high; all four, or none"));
    m_txtUnits = NewField(this, "txtUnits", QStringLiteral("e.g. V, kWh, \u00B0C"));
    m_txtDeadband = NewField(this, "txtDeadband", QStringLiteral("none: every change"));
    m_txtDeadband->setToolTip(QStringLiteral("Clients are not told of a change smaller than this from the value they "
                                             "were last told (in the item's units, after scaling)"));
    m_chkRecord = new QCheckBox(QStringLiteral("Record history"), this);
    m_chkRecord->setObjectName(QStringLiteral("chkRecord"));
    m_chkRecord->setToolTip(QStringLiteral("Keeps every change of the item (after its deadband) and of its quality, "
                                           "for trends and exports"));

    m_form = new QFormLayout(this);
    m_form->addRow(QStringLiteral("Name:"), m_txtTagName);
    m_form->addRow(QStringLiteral("Description:"), m_txtDescription);
    m_form->addRow(QStringLiteral("Data type:"), m_cbDataType);
    m_form->addRow(QStringLiteral("Byte order:"), m_cbByteOrder);
    m_form->addRow(QStringLiteral("Scaling:"), scaling);
    m_form->addRow(QStringLiteral("Units:"), m_txtUnits);
    m_form->addRow(QStringLiteral("Deadband:"), m_txtDeadband);
    m_form->addRow(QStringLiteral("History:"), m_chkRecord);
    SetOperand(-1, std::nullopt);
    ShowDetails({});

    for (QLineEdit* field : { m_txtTagName, m_txtDescription, m_txtUnits, m_txtDeadband, m_txtScale[0], m_txtScale[1],
                              m_txtScale[2], m_txtScale[3] }) {
        connect(field, &QLineEdit::textChanged, this, &ItemDetailsBox::changed);
    }
    connect(m_cbDataType, &QComboBox::currentTextChanged, this, [this] {
        FillByteOrders();
        emit changed();
    });
    connect(m_cbByteOrder, &QComboBox::currentIndexChanged, this, &ItemDetailsBox::changed);
    connect(m_chkRecord, &QCheckBox::toggled, this, &ItemDetailsBox::changed);
}

bool ItemDetailsBox::DeviceRowsShown() const
{
    return m_plcType == common::plctype::ModbusDevice;
}

void ItemDetailsBox::SetOperand(int plcType, std::optional<int> operandType)
{
    m_plcType = plcType;
    m_operandType = operandType;
    m_form->setRowVisible(m_cbDataType, DeviceRowsShown());
    m_form->setRowVisible(m_cbByteOrder, DeviceRowsShown());
    // The empty data type reads as the table's own: say which.
    const bool device = DeviceRowsShown() && operandType && common::IsDeviceOperand(*operandType);
    m_cbDataType->lineEdit()->setPlaceholderText(
        device ? QString::fromStdString(common::DataTypeText(common::DeviceDataType(*operandType, {}))) : QString());
    FillByteOrders();
}

void ItemDetailsBox::FillByteOrders()
{
    const auto type = common::ParseDataType(m_cbDataType->currentText().toStdString());
    const bool text = type && type->base == common::BaseType::String;
    const int chosen = m_cbByteOrder->currentIndex() >= 0 ? m_cbByteOrder->currentData().toInt() : 0;
    const bool wasText = m_cbByteOrder->count() == 2;
    if (m_cbByteOrder->count() > 0 && wasText == text) {
        return;
    }
    const QSignalBlocker blocker(m_cbByteOrder);
    m_cbByteOrder->clear();
    using common::ByteOrder;
    if (text) {
        m_cbByteOrder->addItem(QStringLiteral("AB (first character in the high byte)"),
                               static_cast<int>(ByteOrder::ABCD));
        m_cbByteOrder->addItem(QStringLiteral("BA (first character in the low byte)"),
                               static_cast<int>(ByteOrder::BADC));
    } else {
        m_cbByteOrder->addItem(QStringLiteral("ABCD (big-endian, high word first)"), static_cast<int>(ByteOrder::ABCD));
        m_cbByteOrder->addItem(QStringLiteral("CDAB (words swapped)"), static_cast<int>(ByteOrder::CDAB));
        m_cbByteOrder->addItem(QStringLiteral("BADC (bytes swapped in each word)"), static_cast<int>(ByteOrder::BADC));
        m_cbByteOrder->addItem(QStringLiteral("DCBA (little-endian)"), static_cast<int>(ByteOrder::DCBA));
    }
    const int index = m_cbByteOrder->findData(chosen);
    m_cbByteOrder->setCurrentIndex(index >= 0 ? index : 0);
}

void ItemDetailsBox::ShowDetails(const common::ItemDetails& details)
{
    m_txtTagName->setText(QString::fromStdString(details.name));
    m_txtDescription->setText(QString::fromStdString(details.description));
    m_cbDataType->setEditText(details.dataType ? QString::fromStdString(common::DataTypeText(*details.dataType))
                                               : QString());
    FillByteOrders();
    const int order = m_cbByteOrder->findData(static_cast<int>(details.byteOrder));
    m_cbByteOrder->setCurrentIndex(order >= 0 ? order : 0);
    const std::array<double, 4> scale = details.scaling
        ? std::array<double, 4> { details.scaling->rawLow, details.scaling->rawHigh, details.scaling->low,
                                  details.scaling->high }
        : std::array<double, 4> {};
    for (std::size_t i = 0; i < scale.size(); ++i) {
        m_txtScale[i]->setText(details.scaling ? ScaleText(scale[i]) : QString());
    }
    m_txtUnits->setText(QString::fromStdString(details.units));
    m_txtDeadband->setText(details.deadband ? ScaleText(*details.deadband) : QString());
    m_chkRecord->setChecked(details.record);
}

tl::expected<common::ItemDetails, std::string> ItemDetailsBox::ReadDetails(const common::ItemDetails& kept)
{
    common::ItemDetails details = kept;
    details.name = m_txtTagName->text().trimmed().toStdString();
    details.description = m_txtDescription->text().toStdString();
    details.units = m_txtUnits->text().trimmed().toStdString();
    details.record = m_chkRecord->isChecked();
    std::optional<std::string> problem;
    const auto mark = [&problem](QWidget& field, const std::optional<std::string>& fieldProblem) {
        MarkField(field, fieldProblem ? QString::fromStdString(*fieldProblem) : QString());
        if (fieldProblem && !problem) {
            problem = fieldProblem;
        }
    };

    details.dataType.reset();
    details.byteOrder = common::ByteOrder::ABCD;
    std::optional<std::string> typeProblem;
    const QString typeText = m_cbDataType->currentText().trimmed();
    if (DeviceRowsShown() && !typeText.isEmpty()) {
        auto type = common::ParseDataType(typeText.toStdString());
        type ? (void)(details.dataType = *type) : (void)(typeProblem = "Data type: " + type.error());
    }
    mark(*m_cbDataType, typeProblem);
    if (DeviceRowsShown() && m_cbByteOrder->currentIndex() >= 0) {
        details.byteOrder = static_cast<common::ByteOrder>(m_cbByteOrder->currentData().toInt());
    }

    std::array<std::optional<double>, 4> scale;
    int given = 0;
    for (std::size_t i = 0; i < scale.size(); ++i) {
        const QString text = m_txtScale[i]->text().trimmed();
        bool ok = text.isEmpty();
        if (!text.isEmpty()) {
            const double number = text.toDouble(&ok);
            ok = ok && std::isfinite(number);
            scale[i] = ok ? std::optional<double>(number) : std::nullopt;
            given += ok ? 1 : 0;
        }
        mark(*m_txtScale[i], ok ? std::nullopt : std::optional<std::string>("Scaling: a number, such as 0.5"));
    }
    details.deadband.reset();
    if (const QString text = m_txtDeadband->text().trimmed(); !text.isEmpty()) {
        bool ok = false;
        const double deadband = text.toDouble(&ok);
        ok = ok && std::isfinite(deadband) && deadband >= 0;
        mark(*m_txtDeadband,
             ok ? std::nullopt : std::optional<std::string>("Deadband: a number from 0 up, such as 0.5"));
        details.deadband = ok ? std::optional(deadband) : std::nullopt;
    } else {
        mark(*m_txtDeadband, std::nullopt);
    }

    details.scaling.reset();
    if (given == 4) {
        auto scaling = common::MakeScaling(*scale[0], *scale[1], *scale[2], *scale[3]);
        scaling ? (void)(details.scaling = *scaling) : mark(*m_txtScale[0], "Scaling: " + scaling.error());
    } else if (given > 0 && !problem) {
        problem = "Scaling: give all four numbers, or none";
    }
    if (problem) {
        return tl::make_unexpected(*problem);
    }
    return details;
}

} // namespace tavrel::ui
