#include "app/cli_terminal.h"

#include <sys/ioctl.h>

#include <QList>

#include <cwchar>

namespace vexal {

namespace {

constexpr char32_t kEllipsis = 0x2026;

int columnsOf(char32_t codePoint) {
  const int width = ::wcwidth(static_cast<wchar_t>(codePoint));
  return width < 0 ? 1 : width;  // unknown to the locale: as most terminals draw them
}

}  // namespace

int terminalColumns(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int displayColumns(const QString& text) {
  int columns = 0;
  for (const char32_t codePoint : text.toUcs4()) columns += columnsOf(codePoint);
  return columns;
}

QString elideMiddle(const QString& text, int columns) {
  if (displayColumns(text) <= columns) return text;
  if (columns <= 0) return {};
  const QList<uint> codePoints = text.toUcs4();
  // Room beside the ellipsis: about half for the head (the odd column too), what it
  // leaves for the tail.
  int room = columns - columnsOf(kEllipsis);
  int headRoom = (room + 1) / 2;
  qsizetype head = 0;
  while (head < codePoints.size() && columnsOf(codePoints[head]) <= headRoom) {
    headRoom -= columnsOf(codePoints[head]);
    room -= columnsOf(codePoints[head++]);
  }
  int tailRoom = room;
  qsizetype tail = codePoints.size();
  while (tail > head && columnsOf(codePoints[tail - 1]) <= tailRoom)
    tailRoom -= columnsOf(codePoints[--tail]);
  QList<uint> kept = codePoints.mid(0, head);
  kept.append(kEllipsis);
  kept.append(codePoints.mid(tail));
  return QString::fromUcs4(reinterpret_cast<const char32_t*>(kept.constData()), kept.size());
}

}  // namespace vexal
