#pragma once

class QCoreApplication;

namespace platform {

// Qt's own texts (dialog buttons, the text boxes' context menus, the folder dialog) in Simplified
// Chinese, as on a Chinese Windows: the qtbase_zh_CN translations installed with Qt. False when
// they are not installed; Qt's texts then stay English.
bool LoadChineseTranslations(QCoreApplication& app);

} // namespace platform
