// zulsetupadmin: the helper on Linux, useful for /extract.
#include "SetupAdmin.h"
#include "SetupPosix.h"

int main(int argc, char** argv) {
    setupadmin::PlatformSetArguments(argc, argv);
    return static_cast<int>(setupadmin::RunSetupAdmin());
}
