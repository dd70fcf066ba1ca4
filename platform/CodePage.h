// Code page 949 (the system's 8-bit texts) to and from the host's UTF-8
// and UTF-16. A character that CP949 lacks, and any invalid byte sequence,
// becomes '?'; conversion never fails and never overflows.
#pragma once

#include <string>
#include <string_view>

namespace tessor::platform {

std::string Utf8ToCp949(std::string_view utf8);
std::string Cp949ToUtf8(std::string_view cp949);
std::string Utf16ToCp949(std::u16string_view utf16);
std::u16string Cp949ToUtf16(std::string_view cp949);

// Helpers shared with the bindings: UTF-8 <-> UTF-16, invalid input as '?'.
std::string Utf16ToUtf8(std::u16string_view utf16);
std::u16string Utf8ToUtf16(std::string_view utf8);
// Replaces every invalid UTF-8 sequence by '?'.
std::string SanitizeUtf8(std::string_view utf8);

}  // namespace tessor::platform
