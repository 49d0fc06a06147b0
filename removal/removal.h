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
// 1 when the entry in WorkPath is not reached through a junction, mount
// point or symbolic link: none of the folders from InstallDir down to the
// entry's folder, or the entry's own folder when it lies elsewhere, is one.
// `checked` (PATH_BUFFER_SIZE bytes, empty at first) remembers the last
// folder found free, so each folder is checked once while a list stays in it.
int EntryFolderFreeOfLinks(char* checked);

void RemoveFiles(void);
void RemoveShortcuts(void);
void SweepDirectories(void);
void RemoveRegistryKeys(void);
LONG DeleteKeyTree(HKEY parent, const char* subKey);

// Equal length and equal bytes once A-Z are folded to a-z; nothing else folds.
int PathsEqual(const char* a, const char* b);
