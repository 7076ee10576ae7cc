// One executable, two faces: the window when there is nothing to do on the command line,
// otherwise the console engine.
#include <cstdio>
#include <cstring>

#include "engine/engine_main.h"
#include "platform/platform.h"

#ifdef MENDORA_WITH_GUI
#include "gui/main_window.h"
#endif

int main(int argc, char** argv)
{
    argv = platform::utf8_arguments(argc, argv);
    if (argc <= 1 || (argc == 2 && std::strcmp(argv[1], "--gui") == 0)) {
#ifdef MENDORA_WITH_GUI
        return gui::run_gui();
#else
        std::fprintf(stderr,
                     "The graphical front end is not part of this build; run the engine with an image: "
                     "%s IMAGE [options] (see %s --help).\n",
                     argc > 0 ? argv[0] : "mendora", argc > 0 ? argv[0] : "mendora");
        return 2;
#endif
    }
    engine::engine_main(argc, argv);
    return 0;
}
