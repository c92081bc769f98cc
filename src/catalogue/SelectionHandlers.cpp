// Clicks on the site list: selecting a site and changing its run state.

#include "window/Form1.h"

void Form1::MSFlexGrid1_Click() {}
void Form1::SetSiteRunState(int, int) {}
