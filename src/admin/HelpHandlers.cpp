// The help menu: the maker's web page and a help request by mail.

#include "window/Form1.h"

void Form1::Menu_help_about_Click() {}
void Form1::Menu_help_conn_Click() {}
