// Entry point of zqprereqhandler; the full exit code reaches the caller through the
// host's exit-code contract so that codes above 255 survive.
#include "installer/installer.h"

int main(int argc, char** argv) {
    return host::ExitStatus(installer::RunPrereqHandler(argc, argv));
}
