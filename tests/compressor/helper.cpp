// slnyhelp.dll: a DLL the "needs a helper" build of the test compressor
// imports, left uninstalled to make a missing dependency. Installed under a
// compressor's name it is also a DLL that exports no DriverProc.
#include "platform/platform.h"

extern "C" __declspec(dllexport) int selnary_helper()
{
    return 1;
}
