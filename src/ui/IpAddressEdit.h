#pragma once

#include <QLineEdit>
#include <QValidator>

namespace tavrel::ui {

/// Takes digits and dots only; the text is acceptable as four numbers from 0 to 255. A part past 255 is kept as
/// typed, for the dialog to mark, never cut short.
class IpAddressValidator : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString& input, int& position) const override;
};

/// The IP-address entry `ctIpCOnfig`: a line edit that takes only the characters of a dotted IPv4 address.
class IpAddressEdit : public QLineEdit
{
    Q_OBJECT

public:
    explicit IpAddressEdit(QWidget* parent = nullptr);

    /// The dotted address as entered (possibly incomplete).
    QString Address() const { return text(); }
    void SetAddress(const QString& address) { setText(address); }
    /// True when the entry holds four numbers from 0 to 255.
    bool IsComplete() const;
};

} // namespace tavrel::ui
