#pragma once
// Text between the core (UTF-16 std::u16string) and Qt (QString, also UTF-16).
#include <QString>
#include <string>

namespace ts::gui {

inline QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }
inline QString Q(std::u16string_view s) {
    return QString(reinterpret_cast<const QChar*>(s.data()), static_cast<qsizetype>(s.size()));
}
inline std::u16string U16(const QString& s) { return s.toStdU16String(); }

}  // namespace ts::gui
