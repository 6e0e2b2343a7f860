#pragma once
// Plugs the link watcher, the task threads, the link server and the per-line channel and modem
// objects into the view. Both front ends call it after constructing the application object and
// before InitInstance; the view's hooks are read-only from InitInstance on.
#include "app/app.h"

void WireApplication(CServiceToolApp& app);
