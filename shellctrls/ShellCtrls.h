// The shell namespace controls: node and item ID lists, change notifier, message texts, and the
// tree, combo box and list view where they are built.
#pragma once

#include "shellctrls/ShellConsts.h"
#include "shellctrls/ShellFolder.h"
#include "shellctrls/ShellNotifier.h"

#if __has_include("shellctrls/ShellTreeView.h")
#include "shellctrls/ShellTreeView.h"
#endif
#if __has_include("shellctrls/ShellComboBox.h")
#include "shellctrls/ShellComboBox.h"
#endif
#if __has_include("shellctrls/ShellListView.h")
#include "shellctrls/ShellListView.h"
#endif
