#pragma once

#include <QString>

#include <string>

namespace w3svc {

struct Redirect {
    int status = 302;
    std::string location;
};

// Where a site redirected by its HttpRedirect ("destination[, EXACT_DESTINATION][, PERMANENT |
// TEMPORARY | CHILD_ONLY]") sends a request for rawPath?query: the path appended to the destination
// unless EXACT_DESTINATION, or put where "$S"/"$V" (path), "$Q" ("?query") and "$P" (query) stand.
// Blanks, control characters and other bytes no header may carry are percent-encoded, so that a
// destination can never add a header line.
Redirect redirectOf(const QString& httpRedirect, const std::string& rawPath, const std::string& query);

// A Location value with every byte a header must not carry raw (controls, blanks, non-ASCII)
// percent-encoded.
std::string headerSafe(const std::string& location);
// Text for HTML: & < > " ' as character references.
std::string htmlEscaped(const std::string& text);
// The body IIS sends with a redirect: a link to the new place.
std::string movedBody(const std::string& location);

} // namespace w3svc
