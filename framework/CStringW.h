#pragma once
// UTF-16 text: paths the user chooses travel in it, so that a folder any
// code page cannot name still arrives whole. There is no conversion from
// 8-bit text, so a path cannot pass through a code page by accident.
#include <windows.h>

#include "framework/CStringT.h"

using CStringW = CStringT<wchar_t>;
