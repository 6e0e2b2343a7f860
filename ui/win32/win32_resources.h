#pragma once
// Resource ids of rk880t-tool.exe (ui/win32/rk880t-tool.rc.in), shared by the resource script and
// the code. The manifest is resource 1 of type 24 (the system's id for a program's manifest).
#define IDI_RK880T_TOOL 1
