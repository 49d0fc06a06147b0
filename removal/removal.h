// The path rules and the four removal stages.
#pragma once

#include "uninstall_info/uninstall_info.h"

// Answers to the write-protected prompt that hold for the rest of the run.
enum { AnswerAsk = -1, AnswerNoToAll = 0, AnswerYesToAll = 1 };
extern int AnswerMode;

void AppendBackslash(char* path);
void StripBackslash(char* path);
void ResolveEntryDir(const FileRecord* record);
// ResolveEntryDir, then the name: the entry's full path in WorkPath.
// Returns 0, touching nothing further, when the path would not fit.
int ComposeEntryPath(const FileRecord* record);
int ComposeShortcutPath(const ShortcutRecord* record);

void RemoveFiles(void);
void RemoveShortcuts(void);
void SweepDirectories(void);
void RemoveRegistryKeys(void);
LONG DeleteKeyTree(HKEY parent, const char* subKey);

// Byte strings (no locale, no folding unless named).
u32 StrLen(const char* s);
void StrCopy(char* destination, const char* source);
int PathsEqual(const char* a, const char* b);  // folds only A-Z
