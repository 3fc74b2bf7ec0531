#pragma once

#include <QtGlobal>

// The longest problem report the maker's service takes, counted as it counts them: in UTF-16
// units, the text once trimmed. A longer one is refused however often it is sent.
namespace ReportLimits {

inline constexpr qsizetype textLength = 16000;
inline constexpr qsizetype emailLength = 254;

} // namespace ReportLimits
