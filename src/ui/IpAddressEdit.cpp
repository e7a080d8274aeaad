#include "ui/IpAddressEdit.h"

#include "common/ValueConversions.h"

namespace tavrel::ui {

QValidator::State IpAddressValidator::validate(QString& input, int& /*position*/) const
{
    const QStringList parts = input.split(QLatin1Char('.'));
    if (parts.size() > 4) {
        return Invalid;
    }
    bool complete = parts.size() == 4;
    for (const QString& part : parts) {
        if (part.isEmpty()) {
            complete = false;
            continue;
        }
        if (part.size() > 3) {
            return Invalid;
        }
        for (const QChar c : part) {
            if (!c.isDigit() || c.unicode() > 127) {
                return Invalid;
            }
        }
        if (part.toInt() > 255) {
            return Invalid;
        }
    }
    return complete ? Acceptable : Intermediate;
}

IpAddressEdit::IpAddressEdit(QWidget* parent)
    : QLineEdit(parent)
{
    setObjectName(QStringLiteral("ctIpCOnfig"));
    setValidator(new IpAddressValidator(this));
    setPlaceholderText(QStringLiteral("0.0.0.0"));
    setMaxLength(15);
}

bool IpAddressEdit::IsComplete() const
{
    return common::IsValidIpAddressText(text().toStdString());
}

} // namespace tavrel::ui
