// The path rules and the four removal stages.
#pragma once

#include "uninstall_info/uninstall_info.h"

// Answers to the write-protected prompt that hold for the rest of the run.
enum { AnswerAsk = -1, AnswerNoToAll = 0, AnswerYesToAll = 1 };
extern int AnswerMode;

void AppendBackslash(char* path);
void StripBackslash(char* path);
// The record's directory in WorkPath; 0 (WorkPath left empty) when it
// would not fit the buffer.
int ResolveEntryDir(const FileRecord* record);
// ResolveEntryDir, then the name: the entry's full path in WorkPath.
// 0 when the path would not fit; the caller then skips the entry.
int ComposeEntryPath(const FileRecord* record);
int ComposeShortcutPath(const ShortcutRecord* record);

void RemoveFiles(void);
void RemoveShortcuts(void);
void SweepDirectories(void);
void RemoveRegistryKeys(void);
LONG DeleteKeyTree(HKEY parent, const char* subKey);

// Equal length and equal bytes once A-Z are folded to a-z; nothing else folds.
int PathsEqual(const char* a, const char* b);
