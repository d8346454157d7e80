// Request and response bodies reach the log at TRACE only, and never with a password.
#pragma once

#include <string>
#include <string_view>

namespace httpclient {

// The text with every password in it masked as "****": values named like a password
// ("password", "passwd" or "pwd" in any case, also inside a longer name) written as
// name=value, name="value", "name": "value" or <name>value</name>, and the agent's proxy
// password wherever it appears.
std::string RedactSecrets(std::string_view text);

}  // namespace httpclient
