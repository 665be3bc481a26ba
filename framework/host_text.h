// Texts handed to the host: bounded copies into host buffers and error texts.
#pragma once

#include <map>
#include <string>

// Copies `text` into a host buffer of MM::kMaxHostText (1024) bytes: at most
// 1023 characters followed by a terminating zero. Returns true when the whole
// text fitted, false when it was cut. A null buffer is left alone (false).
bool CopyToHostBuffer(char* buffer, const std::string& text);

namespace MM {

// The device error-text table (code -> message), as every device starts with it.
std::map<int, std::string> DefaultErrorTexts();

// True for the codes whose text carries the name of the property concerned.
bool ErrorTextNamesProperty(int code);

// "Error code <decimal> (<hex of the 32-bit pattern> hex)" for codes without a text.
std::string UnknownErrorText(int code);

}  // namespace MM
