// Library load and unload: the application object starts when the loader maps the library
// and ends when it unmaps it. Compiled into the shared library only, so that unit tests,
// which link the same objects, start the application themselves inside their own machine
// root.
#include "base/QvFolderExtApp.h"

namespace {

struct LibraryLifetime {
  LibraryLifetime() { QvApp().InitInstance(); }
  ~LibraryLifetime() { QvApp().ExitInstance(); }
};

const LibraryLifetime g_lifetime;

}  // namespace
