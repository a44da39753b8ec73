#include "app/win32/QarlApp.h"

#include <stdlib.h>

namespace {
// The one application object, as the framework expects it.
CQarlApp theApp;
} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    for (int i = 1; i < __argc; ++i) {
        theApp.arguments.emplace_back(__argv[i]);
    }
    return theApp.Run(instance);
}
