// Handlers whose operations are not built yet. Each moves to its subsystem's folder when built.

#include "window/Form1.h"

void Form1::Command1_Click() {}
void Form1::Command2_Click() {}
void Form1::Command3_Click() {}
void Form1::Command4_Click() {}
void Form1::MSFlexGrid1_Click() {}
void Form1::Menu_file_home_Click() {}
void Form1::Menu_file_log_Click() {}
void Form1::Menu_help_about_Click() {}
void Form1::Menu_help_conn_Click() {}
