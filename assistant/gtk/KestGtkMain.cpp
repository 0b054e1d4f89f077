// tamsor-wizard: the wizard on the Linux desktop.
#include "KestGtkApp.h"
#include "KestGtkLayout.h"

int main(int argc, char** argv) {
    KestSetUpLanguage();
    KestGtkApp application;
    return application.run(argc, argv);
}
