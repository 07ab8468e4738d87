// Files the console ships with it (help file, icon). In the build tree they stand beside the
// program; installed, in <prefix>/share/vellamorix beside <prefix>/bin/Vellamorix.
#pragma once

#include <QString>

namespace vx::console {

// The shipped file `name` for a program in `programDir`: beside the program when it is there,
// else in ../share/vellamorix when it is there, else beside the program (where it is looked for
// first, so a missing file is reported there).
QString DataFile(const QString &name, const QString &programDir);
// The same for the running program.
QString DataFile(const QString &name);

} // namespace vx::console
