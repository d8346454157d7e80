// The handler's image without its run: the same objects, shared libraries and static
// initialisers as zqprereqhandler, ending before any work. The handler benchmark starts
// it to tell what this machine charges for starting and ending that image alone.
#include "installer/installer.h"

int main(int argc, char** argv) {
    // Never true; it keeps the handler's code, and so its libraries, in the image.
    if (argc < 0) return host::ExitStatus(installer::RunPrereqHandler(argc, argv));
    return 0;
}
