#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

namespace tavrel::link {

/// A file of the live page, from the program's resources.
struct PageFile
{
    QByteArray body;
    QByteArray mimeType;
};

/// The file of the live page at `path`: "/" is the page, "/web/NAME" its script, style and
/// icon, "/favicon.ico" the icon again; nothing for any other path.
std::optional<PageFile> FindPageFile(const QString& path);

/// The headers every page file goes out with: never cached without asking, and a content security policy
/// that lets the page load and reach only the server it came from. `host` is the request's Host header.
std::vector<std::pair<QByteArray, QByteArray>> PageHeaders(const QByteArray& host);

} // namespace tavrel::link
