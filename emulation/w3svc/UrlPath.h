#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <string_view>

namespace w3svc {

// The path of a request URL as the file system sees it.
struct UrlPath {
    QStringList names;        // the decoded names from the home directory down
    bool endsInSlash = false; // "/docs/" names the folder, "/docs" may be a file
};

// A path as sent with its "." and ".." segments (as sent, not encoded) taken away as RFC 3986 and
// IIS 6 do ("/sub/../a" is "/a", "/sub/./" is "/sub/"); nullopt when ".." would climb above "/".
std::optional<std::string> removeDotSegments(std::string_view raw);

// Decodes a request path after removeDotSegments ("%20", and IIS's "%u0020") and strictly checks
// the UTF-8 it gives. A path that could leave the home directory or name something other than a
// plain file or folder below it gives nullopt: encoded "." and ".." names, backslashes, drive and stream
// colons, control and wildcard characters, malformed or overlong UTF-8, and names that Windows would shorten
// (a final dot or blank).
std::optional<UrlPath> decodeUrlPath(std::string_view raw);

} // namespace w3svc
