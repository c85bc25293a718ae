// The program's entry point and its one application object.
#include <windows.h>

#include "ui/ReservationApp.h"

CReservationApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return AfxWinMain(instance);
}
