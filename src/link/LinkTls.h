#pragma once

#include <QSslConfiguration>

#include <filesystem>
#include <string>

#include <tl/expected.hpp>

namespace tavrel::link {

/// The TLS set-up of the link server from a certificate (PEM, the server's first, then any chain) and its private key
/// (PEM, not encrypted), or why they cannot serve: a file missing or unreadable, a key file that others may read, a
/// key that is not the certificate's, a certificate that has expired or is not valid yet.
tl::expected<QSslConfiguration, std::string> LoadLinkTls(const std::filesystem::path& certFile,
                                                         const std::filesystem::path& keyFile);

} // namespace tavrel::link
