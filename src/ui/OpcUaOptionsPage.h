#pragma once

#include <QWidget>

#include <filesystem>

class QLabel;
class QPushButton;

namespace tavrel::ui {

/// The OPC UA page of the Options dialog: the server's certificate as clients see it (its thumbprint, to compare
/// with what a client shows when it is asked to trust the server), how many client certificates were refused and
/// wait in the certificate store for an administrator, and a button that opens the store's folder.
class OpcUaOptionsPage : public QWidget
{
    Q_OBJECT

public:
    /// The page over the certificate store in `pkiFolder`.
    explicit OpcUaOptionsPage(std::filesystem::path pkiFolder, QWidget* parent = nullptr);

    /// Reads the store again.
    void Refresh();

private:
    std::filesystem::path m_pki;
    QLabel* m_lblThumbprint = nullptr;
    QLabel* m_lblRejected = nullptr;
    QPushButton* m_cmdOpenPki = nullptr;
};

} // namespace tavrel::ui
