#pragma once

#include "platform/Outcome.h"

#include <QString>

namespace platform {
class Metabase;
}

namespace addmime {

// The web service's default anonymous account: AnonymousUserName of "IIS://LocalHost/W3SVC".
platform::Outcome<QString> LoadSharedAnonymousUser(platform::Metabase& metabase);

} // namespace addmime
