#pragma once

#include <QString>

namespace vexal {

// Columns of the terminal on `fd`; 0 when it is none or does not say.
int terminalColumns(int fd);

// Terminal columns `text` takes: most characters one, wide East Asian ones two,
// combining marks none.
int displayColumns(const QString& text);

// `text` in at most `columns` columns: when longer, its middle gives way to "…" so that
// both ends stay readable.
QString elideMiddle(const QString& text, int columns);

}  // namespace vexal
