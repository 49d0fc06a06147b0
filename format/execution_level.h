// The execution level an uninstaller's manifest asks Windows for, chosen per
// installation from the keys the uninstall removes. The packer and the
// finisher both set it through this code, so a template, an uninstaller
// packed on the host and one finished on the target agree for the same keys.
#pragma once

#include "format/block_build.h"

enum { LEVEL_NONE = 0, LEVEL_AS_INVOKER, LEVEL_REQUIRE_ADMINISTRATOR };

// A per-user installation (an Add/Remove Programs entry under
// HKEY_CURRENT_USER, none under HKEY_LOCAL_MACHINE) runs as the user who
// starts it: elevated with another person's credentials it would remove
// that person's keys and folders. Every other one needs administrator
// rights. A template path with a constant before the entry's name is no
// entry: the finisher decides again once it is resolved.
int ExecutionLevelFor(const BlockKey* keys, u32 keyCount);

// "asInvoker" or "requireAdministrator".
const char* ExecutionLevelName(int level);

// The level's value in the image's manifest: its file offset, its length,
// and the room it may take with its closing quote and the blanks that
// follow.
struct LevelSlot {
  u32 at;
  u32 length;
  u32 room;
};

// `image` is the program up to the end of its last section, never data
// appended to it, which may hold any text. 0 unless the image holds our
// manifest's requestedExecutionLevel exactly once.
int FindExecutionLevel(const u8* image, u32 size, LevelSlot* slot);

// Writes the level ExecutionLevelFor chooses into the image's manifest,
// padded with blanks so the resource keeps its size. Returns the level
// written, or LEVEL_NONE for an image without room for it (left as it is).
int SetExecutionLevel(u8* image, u32 size, const BlockKey* keys, u32 keyCount);
