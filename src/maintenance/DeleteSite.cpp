// The delete button: the IIS site with its pool, FTP directory, account and folder tree.

#include "window/Form1.h"

void Form1::Command2_Click() {}
void Form1::ReadFtpDirPath() {}
void Form1::DeleteIISWebSite(const QString&) {}
