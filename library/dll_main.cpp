// Load and unload hooks of the Windows DLL. There is no application framework to register the
// library with, so attaching and detaching register nothing and the load is never refused.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    static_cast<void>(instance);
    static_cast<void>(reason);
    static_cast<void>(reserved);
    return TRUE;
}
