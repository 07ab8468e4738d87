// The shell namespace controls: node and item ID lists, change notifier, message texts, and the
// tree, combo box and list view where they are built.
#pragma once

#include "shellctrls/ShellConsts.h"
#include "shellctrls/ShellFolder.h"
#include "shellctrls/ShellNotifier.h"

#if __has_include("shellctrls/ShellTree.h")
#include "shellctrls/ShellTree.h"
#endif
#if __has_include("shellctrls/ShellCombo.h")
#include "shellctrls/ShellCombo.h"
#endif
#if __has_include("shellctrls/ShellList.h")
#include "shellctrls/ShellList.h"
#endif
