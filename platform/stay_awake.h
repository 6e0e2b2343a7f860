#pragma once
// Keeps the PC awake while a task runs: a laptop that suspends in the middle of an image transfer
// or of an NV restore's write exchanges leaves the gateway or the modem half written.
// - Windows: SetThreadExecutionState(ES_SYSTEM_REQUIRED | ES_CONTINUOUS) on the task's thread,
//   given back when the task ends; where the program has a console (rk880t-tool.com), its close
//   button is disabled for as long as any task runs.
// - Linux: a logind sleep inhibitor ("systemd-inhibit --what=sleep") held while any task runs,
//   where systemd runs and systemd-inhibit exists; nothing elsewhere.

#include "platform/non_copyable.h"

namespace plat {

// Held for the life of the object; made and destroyed on the same thread (the task's).
class StayAwake : private NonCopyable {
public:
    StayAwake();
    ~StayAwake();
};

// How many StayAwake objects are alive (tests).
int StayAwakeHolders();

}  // namespace plat
