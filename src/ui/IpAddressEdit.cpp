#include "ui/IpAddressEdit.h"

#include "common/ValueConversions.h"

namespace tavrel::ui {

QValidator::State IpAddressValidator::validate(QString& input, int& /*position*/) const
{
    for (const QChar c : input) {
        if (c != QLatin1Char('.') && (!c.isDigit() || c.unicode() > 127)) {
            return Invalid;
        }
    }
    return common::IsValidIpAddressText(input.toStdString()) ? Acceptable : Intermediate;
}

IpAddressEdit::IpAddressEdit(QWidget* parent)
    : QLineEdit(parent)
{
    setObjectName(QStringLiteral("ctIpCOnfig"));
    setValidator(new IpAddressValidator(this));
    setPlaceholderText(QStringLiteral("0.0.0.0"));
}

bool IpAddressEdit::IsComplete() const
{
    return common::IsValidIpAddressText(text().toStdString());
}

} // namespace tavrel::ui
