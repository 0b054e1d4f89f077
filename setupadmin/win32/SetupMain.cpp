// ZULSetupAdmin.exe: a program without windows; the run is RunSetupAdmin.
#include "SetupAdmin.h"

int main() { return static_cast<int>(setupadmin::RunSetupAdmin()); }
