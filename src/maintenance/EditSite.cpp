// The edit button: writes the input fields back to the selected site.

#include "window/Form1.h"

void Form1::Command3_Click() {}
