// The window manager: classes, windows, the thread's message queue, message
// boxes and modal dialogs answered from a script, control texts and fonts.
#include <cstring>
#include <deque>
#include <map>

#include "platform/host/sim_internal.h"

namespace sim {
namespace {

struct Window {
  std::string className;
  std::string title;
  DWORD style = 0;
  HWND parent = nullptr;  // owner of a top-level window, parent of a control
  HINSTANCE instance = nullptr;
  WNDPROC proc = nullptr;        // from the class
  DLGPROC dialogProc = nullptr;  // dialogs only
  int id = 0;                    // controls only
  std::vector<HWND> children;
  HFONT font = nullptr;
  bool destroyed = false;
  bool ended = false;  // dialogs: EndDialog was called
  INT_PTR result = 0;
};

struct WindowState {
  std::vector<SimWindowClass> classes;
  SimWindowClass lastClass;
  std::map<HWND, Window> windows;
  std::deque<MSG> queue;
  bool quitPending = false;
  int hungWindows = 0;
  int quitCode = 0;
  int emptyReads = 0;
  std::map<std::string, HANDLE> resources;  // icons and cursors, one handle each
  std::deque<int> boxAnswers;
  std::vector<SimMessageBox> boxes;
  int unscriptedBoxes = 0;
  int misfitAnswers = 0;
  std::map<int, std::vector<int>> templates;
  std::deque<int> dialogAnswers;
  std::vector<SimDialogRecord> dialogs;
  int unscriptedDialogs = 0;
};

WindowState& State() {
  static WindowState state;
  return state;
}

Window* Live(HWND handle) {
  auto it = State().windows.find(handle);
  return it == State().windows.end() || it->second.destroyed ? nullptr : &it->second;
}

std::string ResourceName(LPCSTR name) {
  if (IS_INTRESOURCE(name)) return Dec(static_cast<int64_t>(reinterpret_cast<uintptr_t>(name)));
  return Str(name);
}

std::string WindowName(HWND window) { return window == HWND_BROADCAST ? std::string("broadcast") : Handle(window); }

HWND NewWindow(Window window) {
  HWND handle = reinterpret_cast<HWND>(NewHandle());
  State().windows[handle] = window;
  return handle;
}

HWND ChildById(Window& dialog, int id) {
  for (HWND child : dialog.children) {
    Window* control = Live(child);
    if (control && control->id == id) return child;
  }
  return nullptr;
}

void Destroy(HWND handle) {
  Window* window = Live(handle);
  if (!window) return;
  for (HWND child : window->children) Destroy(child);
  window = Live(handle);
  if (window->dialogProc) {
    window->dialogProc(handle, WM_DESTROY, 0, 0);
  } else if (window->proc) {
    window->proc(handle, WM_DESTROY, 0, 0);
  }
  State().windows[handle].destroyed = true;
}

bool IsButtonOf(UINT type, int id) {
  switch (type & 0xF) {
    case MB_OK: return id == IDOK;
    case MB_OKCANCEL: return id == IDOK || id == IDCANCEL;
    case MB_YESNOCANCEL: return id == IDYES || id == IDNO || id == IDCANCEL;
    case MB_YESNO: return id == IDYES || id == IDNO;
    default: return true;
  }
}

// Closing a box without a scripted answer: Cancel where there is one, else No, else OK.
int DefaultButton(UINT type) {
  switch (type & 0xF) {
    case MB_OKCANCEL:
    case MB_YESNOCANCEL: return IDCANCEL;
    case MB_YESNO: return IDNO;
    default: return IDOK;
  }
}

LOGFONTA TemplateFont() {
  LOGFONTA font{};
  font.lfHeight = -11;  // 8 points
  font.lfWeight = 700;
  std::strcpy(font.lfFaceName, "MS Sans Serif");
  return font;
}

}  // namespace

void ResetWindows() { State() = WindowState(); }

}  // namespace sim

using namespace sim;

// ---- Test control ----

const SimWindowClass& SimLastWindowClass() { return State().lastClass; }

void SimPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  MSG msg{};
  msg.hwnd = window;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  State().queue.push_back(msg);
}

bool SimWindowExists(HWND window) { return Live(window) != nullptr; }

std::string SimWindowTitle(HWND window) {
  auto it = State().windows.find(window);
  return it == State().windows.end() ? std::string() : it->second.title;
}

int SimLiveWindowCount() {
  int count = 0;
  for (const auto& entry : State().windows) {
    if (!entry.second.destroyed) count++;
  }
  return count;
}

int SimEmptyQueueReads() { return State().emptyReads; }

void SimAnswerMessageBox(int id) { State().boxAnswers.push_back(id); }
const std::vector<SimMessageBox>& SimMessageBoxes() { return State().boxes; }
int SimUnscriptedBoxes() { return State().unscriptedBoxes; }
int SimMisfitAnswers() { return State().misfitAnswers; }

void SimAddDialogTemplate(int id, std::vector<int> controlIds) { State().templates[id] = std::move(controlIds); }
void SimAnswerDialog(int commandId) { State().dialogAnswers.push_back(commandId); }
const std::vector<SimDialogRecord>& SimDialogs() { return State().dialogs; }
int SimUnscriptedDialogs() { return State().unscriptedDialogs; }

// ---- Classes and windows ----

ATOM RegisterClassA(const WNDCLASSA* wc) {
  bool injected = Enter("RegisterClassA", wc ? Str(wc->lpszClassName) : std::string("null"));
  WindowState& s = State();
  if (wc) {
    s.lastClass.wc = *wc;
    s.lastClass.className = wc->lpszClassName ? wc->lpszClassName : "";
    s.lastClass.wc.lpszClassName = nullptr;  // the caller's text may not outlive the call
  }
  if (injected) return 0;
  if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (const SimWindowClass& known : s.classes) {
    if (SameText(known.className, wc->lpszClassName)) {
      SetError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  s.classes.push_back(s.lastClass);
  return static_cast<ATOM>(0xC000 + s.classes.size() - 1);
}

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  if (Enter("LoadIconA", Join(Handle(instance), ResourceName(name)))) return nullptr;
  uintptr_t id = reinterpret_cast<uintptr_t>(name);
  bool found = IS_INTRESOURCE(name) && (instance ? id == 800 : id >= 32512 && id <= 32518);
  if (!found) {
    SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  HANDLE& handle = State().resources["icon " + Handle(instance) + " " + ResourceName(name)];
  if (!handle) handle = reinterpret_cast<HANDLE>(NewHandle());
  return static_cast<HICON>(handle);
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
  if (Enter("LoadCursorA", Join(Handle(instance), ResourceName(name)))) return nullptr;
  uintptr_t id = reinterpret_cast<uintptr_t>(name);
  if (instance || !IS_INTRESOURCE(name) || id < 32512 || id > 32651) {
    SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  HANDLE& handle = State().resources["cursor " + ResourceName(name)];
  if (!handle) handle = reinterpret_cast<HANDLE>(NewHandle());
  return static_cast<HCURSOR>(handle);
}

HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR title, DWORD style, int, int, int, int, HWND parent,
                     HMENU, HINSTANCE instance, LPVOID) {
  if (Enter("CreateWindowExA", Join(Str(className), Str(title), Hex(style)))) return nullptr;
  const SimWindowClass* found = nullptr;
  for (const SimWindowClass& known : State().classes) {
    if (className && SameText(known.className, className)) found = &known;
  }
  if (!found) {
    SetError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  if (parent && !Live(parent)) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  Window window;
  window.className = found->className;
  window.title = title ? title : "";
  window.style = style;
  window.parent = parent;
  window.instance = instance;
  window.proc = found->wc.lpfnWndProc;
  return NewWindow(window);
}

BOOL DestroyWindow(HWND window) {
  if (Enter("DestroyWindow", Handle(window))) return FALSE;
  if (!Live(window)) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  Destroy(window);
  return TRUE;
}

// ---- The message queue ----

BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
  WindowState& s = State();
  auto wanted = [&](const MSG& m) {
    bool inRange = (filterMin == 0 && filterMax == 0) || (m.message >= filterMin && m.message <= filterMax);
    return inRange && (!window || m.hwnd == window);
  };
  auto it = s.queue.begin();
  while (it != s.queue.end() && !wanted(*it)) ++it;
  bool empty = it == s.queue.end() && !s.quitPending;
  // An empty queue would block for ever on Windows; here it ends the loop
  // and is counted, so that a test can fail on it.
  if (Enter("GetMessageA", empty ? std::string("empty queue") : Join(Handle(window), Dec(filterMin), Dec(filterMax))))
    return -1;
  *msg = MSG{};
  if (it != s.queue.end()) {
    *msg = *it;
    s.queue.erase(it);
    return msg->message != WM_QUIT;
  }
  if (s.quitPending) {
    // The quit message comes only once everything else has been read.
    s.quitPending = false;
    msg->message = WM_QUIT;
    msg->wParam = static_cast<WPARAM>(s.quitCode);
    return FALSE;
  }
  s.emptyReads++;
  return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
  Enter("DispatchMessageA", msg ? Join(Handle(msg->hwnd), Hex(msg->message)) : std::string("null"));
  if (!msg) return 0;
  Window* window = Live(msg->hwnd);
  if (!window || !window->proc) return 0;
  return window->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void SimAddHungWindow() { State().hungWindows++; }

// Only broadcasts are simulated. A hung window holds the broadcast for the
// whole timeout unless SMTO_ABORTIFHUNG skips it.
LRESULT SendMessageTimeoutA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeout, ULONG_PTR* result) {
  if (Enter("SendMessageTimeoutA", Join(WindowName(handle), Hex(message), Hex(wParam),
                                        Hex(static_cast<uint64_t>(lParam)), Hex(flags), Dec(timeout))))
    return 0;
  if (handle != HWND_BROADCAST) Fatal("SendMessageTimeoutA is simulated for broadcasts only");
  if (result) *result = 0;
  if (State().hungWindows && !(flags & SMTO_ABORTIFHUNG)) {
    if (timeout == 0xFFFFFFFFu) Fatal("SendMessageTimeoutA broadcast to a hung window without a timeout");
    SetError(ERROR_TIMEOUT);
    return 0;
  }
  return 1;
}

void PostQuitMessage(int exitCode) {
  Enter("PostQuitMessage", Dec(exitCode));
  State().quitPending = true;
  State().quitCode = exitCode;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
  Enter("DefWindowProcA", Join(Handle(window), Hex(message)));
  return 0;
}

LRESULT SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  if (Enter("SendMessageA", Join(WindowName(handle), Hex(message), Hex(wParam), Hex(static_cast<uint64_t>(lParam)))))
    return 0;
  if (handle == HWND_BROADCAST) {
    if (State().hungWindows) Fatal("SendMessageA broadcast to a hung window never returns");
    return 1;
  }
  Window* window = Live(handle);
  if (!window) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (message == WM_SETFONT) {
    window->font = reinterpret_cast<HFONT>(wParam);
    return 0;
  }
  if (message == WM_GETFONT) return reinterpret_cast<LRESULT>(window->font);
  if (window->dialogProc) return window->dialogProc(handle, message, wParam, lParam);
  if (window->proc) return window->proc(handle, message, wParam, lParam);
  return 0;
}

// ---- Message boxes ----

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (Enter("MessageBoxA", "owner=" + Handle(owner) + ",type=" + Hex(type))) return 0;
  WindowState& s = State();
  int answer;
  if (s.boxAnswers.empty()) {
    answer = DefaultButton(type);
    s.unscriptedBoxes++;
  } else {
    answer = s.boxAnswers.front();
    s.boxAnswers.pop_front();
    if (!IsButtonOf(type, answer)) s.misfitAnswers++;
  }
  s.boxes.push_back(SimMessageBox{owner, Live(owner) != nullptr, text ? text : "", caption ? caption : "", type, answer});
  return answer;
}

// ---- Dialogs ----

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
  if (Enter("DialogBoxParamA", Join(ResourceName(templateName), "owner=" + Handle(owner)))) return -1;
  WindowState& s = State();
  int templateId = static_cast<int>(reinterpret_cast<uintptr_t>(templateName));
  if (!IS_INTRESOURCE(templateName) || !s.templates.count(templateId)) {
    SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  if (!proc) {
    SetError(ERROR_INVALID_PARAMETER);
    return -1;
  }

  // The dialog and its controls, all in the template's font.
  HFONT templateFont = CreateSystemFont(TemplateFont());
  Window frame;
  frame.className = "#32770";
  frame.parent = owner;
  frame.instance = instance;
  frame.dialogProc = proc;
  frame.font = templateFont;
  HWND dialog = NewWindow(frame);
  std::vector<int> controlIds = s.templates[templateId];
  for (int id : controlIds) {
    Window control;
    control.className = "Control";
    control.parent = dialog;
    control.instance = instance;
    control.id = id;
    control.font = templateFont;
    HWND child = NewWindow(control);
    s.windows[dialog].children.push_back(child);
  }
  HWND firstChild = controlIds.empty() ? nullptr : s.windows[dialog].children.front();

  size_t index = s.dialogs.size();
  SimDialogRecord record;
  record.templateId = templateId;
  record.owner = owner;
  record.ownerExists = Live(owner) != nullptr;
  record.dialog = dialog;
  record.param = param;
  s.dialogs.push_back(record);

  INT_PTR initResult = proc(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstChild), param);
  {
    SimDialogRecord& snapshot = s.dialogs[index];
    snapshot.initResult = initResult;
    snapshot.caption = s.windows[dialog].title;
    for (HWND child : s.windows[dialog].children) {
      const Window& control = s.windows[child];
      snapshot.texts[control.id] = control.title;
      snapshot.fonts[control.id] = control.font;
    }
  }

  // Painting: every colour message once, on one device context.
  HDC dc = reinterpret_cast<HDC>(NewHandle());
  for (UINT message : {WM_CTLCOLORDLG, WM_CTLCOLORBTN, WM_CTLCOLORSTATIC, WM_CTLCOLOREDIT, WM_CTLCOLORMSGBOX}) {
    if (s.windows[dialog].ended) break;
    bool onControl = message != WM_CTLCOLORDLG && message != WM_CTLCOLORMSGBOX && firstChild;
    HWND target = onControl ? firstChild : dialog;
    size_t mark = BkColorCalls().size();
    INT_PTR result = proc(dialog, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(target));
    SimDialogRecord& snapshot = s.dialogs[index];
    snapshot.colorResults[message] = result;
    for (size_t i = mark; i < BkColorCalls().size(); i++) {
      if (BkColorCalls()[i].dc == dc) snapshot.bkColors.emplace_back(message, BkColorCalls()[i].color);
    }
  }

  // The user's answer.
  if (!s.windows[dialog].ended) {
    int command = IDCANCEL;  // Esc
    if (s.dialogAnswers.empty()) {
      s.unscriptedDialogs++;
    } else {
      command = s.dialogAnswers.front();
      s.dialogAnswers.pop_front();
    }
    s.dialogs[index].command = command;
    HWND control = ChildById(s.windows[dialog], command);
    proc(dialog, WM_COMMAND, static_cast<WPARAM>(static_cast<WORD>(command)), reinterpret_cast<LPARAM>(control));
  }

  Window& done = s.windows[dialog];
  bool ended = done.ended;
  INT_PTR result = ended ? done.result : 0;
  if (!ended) Enter("DialogNotEnded", Dec(templateId));
  Destroy(dialog);
  DeleteSystemFont(templateFont);
  s.dialogs[index].ended = ended;
  s.dialogs[index].result = result;
  return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  if (Enter("EndDialog", Join(Handle(dialog), Dec(result)))) return FALSE;
  Window* window = Live(dialog);
  if (!window || !window->dialogProc) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  window->ended = true;
  window->result = result;
  return TRUE;
}

BOOL SetWindowTextA(HWND handle, LPCSTR text) {
  if (Enter("SetWindowTextA", Join(Handle(handle), Str(text)))) return FALSE;
  Window* window = Live(handle);
  if (!window) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  window->title = text ? text : "";
  return TRUE;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  if (Enter("SetDlgItemTextA", Join(Handle(dialog), Dec(id), Str(text)))) return FALSE;
  Window* window = Live(dialog);
  if (!window) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  HWND child = ChildById(*window, id);
  if (!child) {
    SetError(ERROR_CONTROL_ID_NOT_FOUND);
    return FALSE;
  }
  State().windows[child].title = text ? text : "";
  return TRUE;
}

HWND GetWindow(HWND handle, UINT command) {
  if (Enter("GetWindow", Join(Handle(handle), Dec(command)))) return nullptr;
  Window* window = Live(handle);
  if (!window) {
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (command == GW_CHILD) {
    for (HWND child : window->children) {
      if (Live(child)) return child;
    }
    return nullptr;
  }
  if (command == GW_OWNER) return window->id ? nullptr : window->parent;
  if (command == GW_HWNDNEXT) {
    Window* parent = window->id || window->className == "Control" ? Live(window->parent) : nullptr;
    if (!parent) return nullptr;
    bool passed = false;
    for (HWND sibling : parent->children) {
      if (passed && Live(sibling)) return sibling;
      if (sibling == handle) passed = true;
    }
    return nullptr;
  }
  SetError(ERROR_INVALID_PARAMETER);
  return nullptr;
}
