#include "window/Operation.h"

namespace window {

using namespace Qt::Literals::StringLiterals;

void Operation::command(const QString& commandLine, const QString& why) {
    m_failures << commandLine + u"："_s + why;
}

void Operation::step(const QString& what, const platform::Error& error) {
    m_failures << what + u"："_s + error.text + u" (0x"_s + QString::number(error.number, 16).toUpper() +
                      u')';
}

} // namespace window
