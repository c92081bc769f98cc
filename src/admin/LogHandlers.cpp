// The central binary log folder and the extraction of one site's log for one day.

#include "window/Form1.h"

void Form1::Menu_file_log_Click() {}
void Form1::Command4_Click() {}
