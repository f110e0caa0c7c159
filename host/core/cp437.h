// Code page 437 (the banner's character set) to UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace host::core {

// Every byte becomes its code page 437 character; 0x00-0x7F pass through as ASCII.
std::string Cp437ToUtf8(std::string_view text);

}  // namespace host::core
