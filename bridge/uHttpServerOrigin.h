#pragma once
// Which requests the local HTTP server serves: those addressed to it by one of its own names
// and not sent by another site's page. A page elsewhere (a cross-site form, an image tag, a
// fetch, a name rebound to 127.0.0.1) must not reach the device behind the server.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace uHttpServerOrigin {

// The names the server answers to on port: 127.0.0.1, localhost and [::1], plus
// listenAddress when it is set (an address literal; a wildcard address admits every address
// literal, never a host name). Without the port when it is 80, as browsers send it then.
struct TAcceptedHosts {
  std::uint16_t Port = 0;
  std::string ListenAddress;  // empty: the loopback addresses only
};

using THeaders = std::vector<std::pair<std::string, std::string>>;

// Whether host (a Host header value, or the part of an Origin after "http://") names the
// server: one of the names above with ":PORT".
bool IsAcceptedHost(std::string_view host, const TAcceptedHosts& accepted);

// Why the request must be refused, as one line for the 403 response; none when it may be
// served. Refused: no Host or several, a Host that is not an accepted one, an Origin that is
// not "http://" and an accepted host ("null" included), a Sec-Fetch-Site of "cross-site" or
// "same-site" (another port on this machine is the same site).
std::optional<std::string> RefusalReason(const THeaders& headers, const TAcceptedHosts& accepted);

}  // namespace uHttpServerOrigin
