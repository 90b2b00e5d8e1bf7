// Host stand-in: the shell folder constants live in the host windows.h.
#pragma once
#include <windows.h>
