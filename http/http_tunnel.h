#pragma once
// Reading a proxy's answer to the tunnel request.

#include <string>
#include <string_view>

namespace http {

// True once the held bytes hold the answer's whole header (up to its empty line). A
// decision taken on part of the header could take "HTTP/1.1 200 OK" followed later by a
// body length for an open tunnel.
bool TunnelAnswerComplete(std::string_view held);

// The answer opens the tunnel: a 200 status line ("HTTP/1.0 200" or "HTTP/1.1 200", one or
// two blanks, any case) that is not a "200 OK" announcing a body of non-zero length. Such a
// "200 OK" is an ordinary reply from a proxy that did not tunnel.
bool TunnelAnswerOpens(std::string_view answer);

// The answer's status line without its version ("403 Forbidden"), fit for a message: at most
// 100 characters, control bytes replaced by "?".
std::string TunnelAnswerStatus(std::string_view answer);

// The answer's status code (0 when the line shows none).
int TunnelAnswerCode(std::string_view answer);

}  // namespace http
