#include "sources/path_text.h"

#include <QByteArray>

#include <string>
#include <string_view>

namespace vexal {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // U+DC80..U+DCFF hold bytes 0x80..0xFF

// Length of the valid UTF-8 sequence at the start of `text` and its code point; 0 when
// the first byte does not start one (stray, overlong, surrogate or beyond U+10FFFF).
std::size_t decodeUtf8(std::string_view text, char32_t& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  codePoint = value;
  return length;
}

void appendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | codePoint >> 6));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | codePoint >> 12));
    out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | codePoint >> 18));
    out.push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

}  // namespace

QString pathToQString(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t codePoint = 0;
    if (const std::size_t length = decodeUtf8(std::string_view(bytes).substr(i), codePoint); length > 0) {
      if (QChar::requiresSurrogates(codePoint)) {
        text += QChar(QChar::highSurrogate(codePoint));
        text += QChar(QChar::lowSurrogate(codePoint));
      } else {
        text += QChar(static_cast<char16_t>(codePoint));
      }
      i += length;
    } else {
      text += QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[i++])));
    }
  }
  return text;
}

std::filesystem::path pathFromQString(const QString& text) {
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      appendUtf8(bytes, QChar::surrogateToUcs4(unit, text[++i].unicode()));
    } else if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
      bytes.push_back(static_cast<char>(unit - kEscapeBase));
    } else if (QChar::isSurrogate(unit)) {
      appendUtf8(bytes, 0xFFFD);  // no byte stands behind another lone surrogate
    } else {
      appendUtf8(bytes, unit);
    }
  }
  return std::filesystem::path(std::move(bytes));
}

std::string lowerExtension(const std::filesystem::path& path) {
  std::string extension = path.extension().native();
  if (!extension.empty()) extension.erase(0, 1);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

QStringList localPathsOfUriList(const QByteArray& uriList) {
  QStringList paths;
  for (QByteArray line : uriList.split('\n')) {
    line = line.trimmed();  // lines end in CR LF
    if (line.isEmpty() || line.startsWith('#')) continue;
    if (line.size() < 5 || line.left(5).toLower() != "file:") continue;
    QByteArray rest = line.mid(5);
    if (rest.startsWith("//")) {
      // "file://host/path": only this machine's files are ours.
      const qsizetype slash = rest.indexOf('/', 2);
      if (slash < 0) continue;
      const QByteArray host = rest.mid(2, slash - 2).toLower();
      if (!host.isEmpty() && host != "localhost") continue;
      rest = rest.mid(slash);
    }
    if (!rest.startsWith('/')) continue;
    if (const qsizetype end = rest.indexOf('?'); end >= 0) rest.truncate(end);
    if (const qsizetype end = rest.indexOf('#'); end >= 0) rest.truncate(end);
    paths << pathToQString(std::filesystem::path(QByteArray::fromPercentEncoding(rest).toStdString()));
  }
  return paths;
}

}  // namespace vexal
