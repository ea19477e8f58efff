// The Windows entry point: the application object over the Win32 host. The
// process ends when InitInstance returns, whatever it returned.
#include "app/MorlitApp.h"
#include "platform/win32/win32_host.h"
#include "platform/win32/win32_api.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    morlit::win32::Win32Host win32(instance);
    morlit::CMorlitApp app(win32.host);
    app.InitInstance();
    return 0;
}
