// Every message the tool shows, formed in one place from what the platform
// layer reports, the same on every platform.
#ifndef AUTHORSTAMP_APP_MESSAGES_H_
#define AUTHORSTAMP_APP_MESSAGES_H_

#include <string>
#include <string_view>

#include "platform/services.h"

namespace app {

/// The message for |error|: one line, its head and its clauses, without
/// the program's name.  For kOpenTarget it is what goes inside the
/// parentheses of "Open file fail! (...)", empty where the platform says
/// no more than that.
std::string Describe(const platform::Error& error);

/// |text| with its control characters escaped as in C, C1 controls
/// included, so that a message stays one line and a file name cannot send
/// the terminal escape sequences.  Every other byte, UTF-8 text included,
/// stays as it is.
std::string Printable(std::string_view text);

}  // namespace app

#endif  // AUTHORSTAMP_APP_MESSAGES_H_
