// The create button: validation, site folders, the IIS site, account, grants and FTP directory.

#include "window/Form1.h"

void Form1::Command1_Click() {}
void Form1::PrepareSiteFolders() {}
void Form1::ProvisionSite() {}
void Form1::CreateIISWebServer(const QString&, const QString&, int, const QString&) {}
