// The console's image lists, drawn at start.
#pragma once

#include <QIcon>
#include <QList>
#include <QPixmap>

namespace vx::console {

// ImageList: 0 closed folder, 1 open folder (16 x 16).
QList<QPixmap> FolderImages();

// Tool images, 16 x 16, in the order: 0 add, 1 delete, 2 change, 3 close, 4 refresh, 5 help,
// 6 stop, 7 start. `coloured` false gives the grey normal images (ImageList1), true the
// highlighted ones (ImageList_Tool).
QList<QPixmap> ToolImages(bool coloured);

// Normal and highlighted image of one tool button.
QIcon ToolIcon(int index);

} // namespace vx::console
