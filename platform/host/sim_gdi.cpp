// GDI objects: stock objects with fixed handles, brushes and fonts that the
// program creates (counted while live), dialog fonts owned by the dialog
// manager, system colours and the background colour of device contexts.
#include <cstring>
#include <map>

#include "platform/host/sim_internal.h"

namespace sim {
namespace {

enum class Kind { Brush, Font };

struct GdiObject {
  Kind kind;
  bool system = false;  // made by the dialog manager, not by the program
  bool deleted = false;
  COLORREF color = 0;
  LOGFONTA font{};
};

struct GdiState {
  std::map<HGDIOBJ, GdiObject> objects;
  std::map<int, COLORREF> sysColors{{COLOR_BTNFACE, RGB(212, 208, 200)}};
  std::map<HDC, COLORREF> bkColors;
  std::vector<BkColorCall> bkCalls;
};

GdiState& State() {
  static GdiState state;
  return state;
}

const int kStockObjects = 20;  // WHITE_BRUSH (0) to DC_PEN (19)
const uintptr_t kStockBase = 0xF00000;

bool IsStock(HGDIOBJ object) {
  uintptr_t value = reinterpret_cast<uintptr_t>(object);
  return value >= kStockBase && value < kStockBase + 4 * kStockObjects && value % 4 == 0;
}

GdiObject* Live(HGDIOBJ object) {
  auto it = State().objects.find(object);
  return it == State().objects.end() || it->second.deleted ? nullptr : &it->second;
}

std::string Face(const LOGFONTA& font) { return std::string(font.lfFaceName, strnlen(font.lfFaceName, LF_FACESIZE)); }

}  // namespace

HFONT CreateSystemFont(const LOGFONTA& font) {
  HFONT handle = reinterpret_cast<HFONT>(NewHandle());
  GdiObject object{Kind::Font};
  object.system = true;
  object.font = font;
  State().objects[handle] = object;
  return handle;
}

void DeleteSystemFont(HFONT font) {
  if (GdiObject* object = Live(font)) object->deleted = true;
}

const std::vector<BkColorCall>& BkColorCalls() { return State().bkCalls; }

void ResetGdi() { State() = GdiState(); }

}  // namespace sim

using namespace sim;

LOGFONTA SimFont(HFONT font) {
  auto it = State().objects.find(font);
  if (it == State().objects.end() || it->second.kind != Kind::Font) return LOGFONTA{};
  return it->second.font;
}

bool SimGdiObjectLive(HGDIOBJ object) { return IsStock(object) || Live(object) != nullptr; }

int SimLiveGdiObjects() {
  int count = 0;
  for (const auto& entry : State().objects) {
    if (!entry.second.deleted && !entry.second.system) count++;
  }
  return count;
}

void SimSetSysColor(int index, COLORREF color) { State().sysColors[index] = color; }

DWORD GetSysColor(int index) {
  Enter("GetSysColor", Dec(index));
  auto it = State().sysColors.find(index);
  return it == State().sysColors.end() ? 0 : it->second;
}

HGDIOBJ GetStockObject(int index) {
  if (Enter("GetStockObject", Dec(index))) return nullptr;
  if (index < 0 || index >= kStockObjects) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return reinterpret_cast<HGDIOBJ>(kStockBase + 4 * static_cast<uintptr_t>(index));
}

HBRUSH CreateSolidBrush(COLORREF color) {
  if (Enter("CreateSolidBrush", Hex(color))) return nullptr;
  HBRUSH handle = reinterpret_cast<HBRUSH>(NewHandle());
  GdiObject object{Kind::Brush};
  object.color = color;
  State().objects[handle] = object;
  return handle;
}

HFONT CreateFontIndirectA(const LOGFONTA* font) {
  if (Enter("CreateFontIndirectA",
            font ? Join(Face(*font), Dec(font->lfHeight), Dec(font->lfWeight)) : std::string("null")))
    return nullptr;
  if (!font) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HFONT handle = reinterpret_cast<HFONT>(NewHandle());
  GdiObject object{Kind::Font};
  object.font = *font;
  State().objects[handle] = object;
  return handle;
}

BOOL DeleteObject(HGDIOBJ handle) {
  if (IsStock(handle)) {
    // Windows ignores the deletion of a stock object.
    return Enter("DeleteObject", "stock") ? FALSE : TRUE;
  }
  GdiObject* object = Live(handle);
  if (Enter("DeleteObject", object ? Handle(handle) : "unknown " + Handle(handle))) return FALSE;
  if (!object) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->deleted = true;
  return TRUE;
}

int GetObjectA(HGDIOBJ handle, int size, LPVOID buffer) {
  if (Enter("GetObjectA", Join(Handle(handle), Dec(size)))) return 0;
  GdiObject* object = Live(handle);
  if (!object || object->kind != Kind::Font) {
    SetError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return 0;
  }
  if (!buffer) return static_cast<int>(sizeof(LOGFONTA));
  if (size < static_cast<int>(sizeof(LOGFONTA))) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::memcpy(buffer, &object->font, sizeof(LOGFONTA));
  return static_cast<int>(sizeof(LOGFONTA));
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
  if (Enter("SetBkColor", Join(Handle(dc), Hex(color)))) return CLR_INVALID;
  if (!dc) {
    SetError(ERROR_INVALID_HANDLE);
    return CLR_INVALID;
  }
  GdiState& s = State();
  auto it = s.bkColors.find(dc);
  COLORREF previous = it == s.bkColors.end() ? RGB(255, 255, 255) : it->second;
  s.bkColors[dc] = color;
  s.bkCalls.push_back(BkColorCall{dc, color});
  return previous;
}

BOOL RemoveFontResourceA(LPCSTR path) {
  if (Enter("RemoveFontResourceA", Str(path))) return FALSE;
  if (!path || !FileExists(path)) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}
