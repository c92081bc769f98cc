// The sites root: chosen in a folder dialog and locked down.

#include "window/Form1.h"

void Form1::Menu_file_home_Click() {}
void Form1::SecureHomeRoot(const QString&) {}
