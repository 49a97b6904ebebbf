// VMDSMgr.exe: the instance manager's program. Builds the main window and its presenter over the
// real service database, file system, system queries and shell, runs start-up and then the
// window with its dialogs.
#include <windows.h>
#include <commctrl.h>

#include "main_display.h"
#include "main_presenter.h"
#include "program_file.h"
#include "win32_file_system.h"
#include "win32_serial_port_catalog.h"
#include "win32_service_database.h"
#include "win32_shell.h"
#include "win32_system_info.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES;
  InitCommonControlsEx(&controls);

  Win32ServiceDatabase services;
  Win32FileSystem files;
  Win32SystemInfo system;
  Win32SerialPortCatalog ports;
  MainDisplay display;
  if (!display.Create(instance)) {
    MessageBoxA(nullptr, "The main window could not be created.", kProductName,
                MB_ICONHAND | MB_OK | MB_SETFOREGROUND);
    return 1;
  }
  Win32Shell shell;
  shell.SetOwner(display.Handle());
  display.SetShell(&shell);
  MainPresenter presenter(display, services, files, system, shell, ports, ProgramDirectory());
  display.SetPresenter(&presenter);

  bool run = false;
  display.Report([&run](MainPresenter& start) { run = start.FormLoad(); });
  HWND window = display.Handle();
  if (!run) {
    display.SetPresenter(nullptr);
    DestroyWindow(window);
    return 0;
  }

  ShowWindow(window, showCommand);
  UpdateWindow(window);
  display.StartRefreshTimer();
  MSG message{};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (display.TranslateMessages(message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  display.SetPresenter(nullptr);
  display.SetShell(nullptr);
  return static_cast<int>(message.wParam);
}
