// The progress window; see progress_window.h. Every call but the window's
// creation and its messages (the seam's, which tests record) is bound here
// from System32 when the window is due: none of these DLLs is imported, so a
// start that ends before the delay never loads them.
#include "common/progress_window.h"

// windows.h first: commctrl.h uses its types.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "common/capacities.h"
#include "common/error_dialog.h"
#include "common/system_calls.h"

namespace {

// The calls the window needs besides the seam's, bound once.
struct WindowCalls {
  ATOM(WINAPI* RegisterClassExW)(const WNDCLASSEXW* window_class);
  BOOL(WINAPI* UnregisterClassW)(LPCWSTR class_name, HINSTANCE instance);
  LRESULT(WINAPI* DefWindowProcW)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  HANDLE(WINAPI* LoadImageW)(HINSTANCE instance, LPCWSTR name, UINT type, int width, int height, UINT flags);
  int(WINAPI* GetSystemMetrics)(int index);
  BOOL(WINAPI* SetWindowPos)(HWND window, HWND after, int x, int y, int width, int height, UINT flags);
  BOOL(WINAPI* UpdateWindow)(HWND window);
  BOOL(WINAPI* PeekMessageW)(LPMSG message, HWND window, UINT first, UINT last, UINT remove);
  BOOL(WINAPI* TranslateMessage)(const MSG* message);
  LRESULT(WINAPI* DispatchMessageW)(const MSG* message);
  BOOL(WINAPI* DestroyWindow)(HWND window);
  HGDIOBJ(WINAPI* GetStockObject)(int object);
  BOOL(WINAPI* InitCommonControlsEx)(const INITCOMMONCONTROLSEX* controls);
};

WindowCalls calls;
bool calls_bound = false;

struct Binding {
  const wchar_t* module;
  const char* name;
  FARPROC* slot;
};

FARPROC* slot_of(void* entry) { return static_cast<FARPROC*>(entry); }

bool bind_window_calls() {
  if (calls_bound) return true;
  const Binding bindings[] = {
      {L"user32.dll", "RegisterClassExW", slot_of(&calls.RegisterClassExW)},
      {L"user32.dll", "UnregisterClassW", slot_of(&calls.UnregisterClassW)},
      {L"user32.dll", "DefWindowProcW", slot_of(&calls.DefWindowProcW)},
      {L"user32.dll", "LoadImageW", slot_of(&calls.LoadImageW)},
      {L"user32.dll", "GetSystemMetrics", slot_of(&calls.GetSystemMetrics)},
      {L"user32.dll", "SetWindowPos", slot_of(&calls.SetWindowPos)},
      {L"user32.dll", "UpdateWindow", slot_of(&calls.UpdateWindow)},
      {L"user32.dll", "PeekMessageW", slot_of(&calls.PeekMessageW)},
      {L"user32.dll", "TranslateMessage", slot_of(&calls.TranslateMessage)},
      {L"user32.dll", "DispatchMessageW", slot_of(&calls.DispatchMessageW)},
      {L"user32.dll", "DestroyWindow", slot_of(&calls.DestroyWindow)},
      {L"gdi32.dll", "GetStockObject", slot_of(&calls.GetStockObject)},
      // The bar is comctl32's: version 5 needs no manifest and looks as the
      // system draws its own progress.
      {L"comctl32.dll", "InitCommonControlsEx", slot_of(&calls.InitCommonControlsEx)},
  };
  for (const Binding& binding : bindings) {
    // From System32 only: never a DLL of that name planted beside the program
    // or in the extraction directory.
    HMODULE module = LoadLibraryExW(binding.module, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return false;
    *binding.slot = GetProcAddress(module, binding.name);
    if (*binding.slot == nullptr) return false;
  }
  calls_bound = true;
  return true;
}

const wchar_t CLASS_NAME[] = L"VorbelUnpackProgress";
// The client area's layout, in pixels at 96 DPI.
const int WINDOW_WIDTH = 380;
const int WINDOW_HEIGHT = 120;
const int MARGIN = 16;
const int ICON_SIZE = 32;
const int TEXT_LEFT = MARGIN + ICON_SIZE + MARGIN;
const int TEXT_WIDTH = WINDOW_WIDTH - TEXT_LEFT - 2 * MARGIN;
const int TEXT_HEIGHT = 20;
const int BAR_HEIGHT = 18;

HWND frame = nullptr;
HWND bar = nullptr;
unsigned bar_percent;
wchar_t title[ERROR_DIALOG_TITLE_CAPACITY];

// The program's icon: group 1, which --icon replaces.
HICON program_icon(int size) {
  return static_cast<HICON>(
      calls.LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

HWND make_child(const wchar_t* class_name, const wchar_t* text, DWORD style, int x, int y, int width, int height) {
  HWND child = system_calls.CreateWindowExW(0, class_name, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                            frame, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (child != nullptr) {
    system_calls.SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(calls.GetStockObject(DEFAULT_GUI_FONT)),
                              FALSE);
  }
  return child;
}

void take_messages() {
  MSG message;
  while (calls.PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    calls.TranslateMessage(&message);
    calls.DispatchMessageW(&message);
  }
}

}  // namespace

bool open_progress_window(unsigned percent) {
  if (!interactive_window_station() || !bind_window_calls()) return false;
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  calls.InitCommonControlsEx(&controls);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof window_class;
  // The window takes no input of its own: closing it stops nothing, so
  // DefWindowProcW's answers are all it needs.
  window_class.lpfnWndProc = calls.DefWindowProcW;
  window_class.hInstance = instance;
  window_class.hIcon = program_icon(calls.GetSystemMetrics(SM_CXICON));
  window_class.hIconSm = program_icon(calls.GetSystemMetrics(SM_CXSMICON));
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = CLASS_NAME;
  calls.RegisterClassExW(&window_class);
  error_dialog_title(title, ERROR_DIALOG_TITLE_CAPACITY);
  // Not WS_VISIBLE: a window made visible is shown through the process's
  // first ShowWindow, which takes the caller's show state (a minimized
  // start) from the application's own first window.
  int x = (calls.GetSystemMetrics(SM_CXSCREEN) - WINDOW_WIDTH) / 2;
  int y = (calls.GetSystemMetrics(SM_CYSCREEN) - WINDOW_HEIGHT) / 2;
  frame = system_calls.CreateWindowExW(0, CLASS_NAME, title, WS_POPUP | WS_CAPTION, x, y, WINDOW_WIDTH, WINDOW_HEIGHT,
                                       nullptr, nullptr, instance, nullptr);
  if (frame == nullptr) {
    calls.UnregisterClassW(CLASS_NAME, instance);
    return false;
  }
  HWND icon = make_child(L"STATIC", nullptr, SS_ICON, MARGIN, MARGIN, ICON_SIZE, ICON_SIZE);
  if (icon != nullptr) system_calls.SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(window_class.hIcon), 0);
  make_child(L"STATIC", title, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, TEXT_LEFT, MARGIN - 2, TEXT_WIDTH, TEXT_HEIGHT);
  bar = make_child(PROGRESS_CLASSW, nullptr, 0, TEXT_LEFT, MARGIN + TEXT_HEIGHT, TEXT_WIDTH, BAR_HEIGHT);
  system_calls.SendMessageW(bar, PBM_SETRANGE32, 0, 100);
  system_calls.SendMessageW(bar, PBM_SETPOS, percent, 0);
  bar_percent = percent;
  // Shown without ShowWindow and without the focus: the user's typing goes
  // where it went, and the application's first window opens as asked.
  calls.SetWindowPos(frame, nullptr, 0, 0, 0, 0,
                     SWP_SHOWWINDOW | SWP_NOACTIVATE | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER);
  calls.UpdateWindow(frame);
  take_messages();
  return true;
}

void step_progress_window(unsigned percent) {
  if (frame == nullptr) return;
  if (percent != bar_percent) system_calls.SendMessageW(bar, PBM_SETPOS, percent, 0);
  bar_percent = percent;
  take_messages();
}

void close_progress_window() {
  if (frame == nullptr) return;
  calls.DestroyWindow(frame);
  frame = nullptr;
  bar = nullptr;
  // Whatever the destruction posted goes now, not to the application's loop.
  take_messages();
  calls.UnregisterClassW(CLASS_NAME, GetModuleHandleW(nullptr));
}
