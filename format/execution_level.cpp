#include "format/execution_level.h"

static const u32 ROOT_CURRENT_USER = 0x80000001u;
static const u32 ROOT_LOCAL_MACHINE = 0x80000002u;
static const char UNINSTALL_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

static u8 Folded(u8 c) { return c >= 'a' && c <= 'z' ? (u8)(c - 'a' + 'A') : c; }

// A key below the Add/Remove Programs key, not that key itself. The prefix
// is ASCII, so folding byte by byte cannot split a double-byte character.
static int IsUninstallEntry(const BlockText* path) {
  u32 n = sizeof UNINSTALL_KEY - 1;
  if (path->length <= n || path->bytes[n] == '\\') return 0;
  for (u32 i = 0; i < n; i++)
    if (Folded((u8)path->bytes[i]) != Folded((u8)UNINSTALL_KEY[i])) return 0;
  return 1;
}

int ExecutionLevelFor(const BlockKey* keys, u32 keyCount) {
  int perUser = 0;
  for (u32 i = 0; i < keyCount; i++) {
    if (!IsUninstallEntry(&keys[i].path)) continue;
    if (keys[i].root == ROOT_LOCAL_MACHINE) return LEVEL_REQUIRE_ADMINISTRATOR;
    if (keys[i].root == ROOT_CURRENT_USER) perUser = 1;
  }
  return perUser ? LEVEL_AS_INVOKER : LEVEL_REQUIRE_ADMINISTRATOR;
}

const char* ExecutionLevelName(int level) {
  return level == LEVEL_AS_INVOKER ? "asInvoker" : "requireAdministrator";
}

// ---- The manifest in the image ---------------------------------------------

// The form our manifest gives the level; another form's level is not ours
// to set.
static const char LEVEL_ATTRIBUTE[] = "<requestedExecutionLevel level=\"";

static u32 Find(const u8* p, u32 from, u32 end, const char* text) {
  for (u32 at = from; at < end; at++) {
    u32 i = 0;
    while (text[i] && at + i < end && p[at + i] == (u8)text[i]) i++;
    if (!text[i]) return at;
  }
  return end;
}

static int IsBlank(u8 c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int FindExecutionLevel(const u8* image, u32 size, LevelSlot* slot) {
  u32 at = Find(image, 0, size, LEVEL_ATTRIBUTE);
  // Two would leave it open which one Windows reads.
  if (at == size || Find(image, at + 1, size, LEVEL_ATTRIBUTE) != size) return 0;
  at += sizeof LEVEL_ATTRIBUTE - 1;
  u32 quote = Find(image, at, size, "\"");
  if (quote == size) return 0;
  u32 next = quote + 1;
  while (next < size && IsBlank(image[next])) next++;
  slot->at = at;
  slot->length = quote - at;
  slot->room = next - at;
  return 1;
}

int SetExecutionLevel(u8* image, u32 size, const BlockKey* keys, u32 keyCount) {
  LevelSlot slot;
  if (!FindExecutionLevel(image, size, &slot)) return LEVEL_NONE;
  int level = ExecutionLevelFor(keys, keyCount);
  const char* name = ExecutionLevelName(level);
  u32 n = 0;
  while (name[n]) n++;
  // The closing quote, and a blank before whatever follows.
  if (slot.room < n + 2) return LEVEL_NONE;
  u8* p = image + slot.at;
  for (u32 i = 0; i < slot.room; i++) p[i] = i < n ? (u8)name[i] : i == n ? '"' : ' ';
  return level;
}
