#pragma once

#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace platform {
class Metabase;
class MetabaseObject;
} // namespace platform

namespace addmime {

// The web service's default anonymous account: AnonymousUserName of "IIS://LocalHost/W3SVC".
platform::Outcome<QString> LoadSharedAnonymousUser(platform::Metabase& metabase);

// The extra MIME types every site gets, extension and type alternating, in the order they are added.
const QStringList& MimeTypeList();

// Adds the extra MIME types to the root virtual directory of site siteNumber
// ("IIS://127.0.0.1/w3svc/N/root"), one pair at a time. Stops at the first step that fails and
// returns its error: the pairs before it stay stored.
platform::Status AddMimeTypes(platform::Metabase& metabase, std::int32_t siteNumber);

// Appends one pair to the root's MimeMap (read with GetEx, written back whole with PutEx and
// stored with SetInfo). An extension the list already holds, in any letter case, is not added
// again, so a site never collects duplicate entries.
platform::Status AddMimeMapEntry(platform::MetabaseObject& root, const QString& extension,
                                 const QString& mimeType);

} // namespace addmime
