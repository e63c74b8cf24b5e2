#include "bridge/uHttpServerOrigin.h"

#include <algorithm>

#include <boost/asio/ip/address.hpp>

namespace uHttpServerOrigin {

namespace {

namespace ip = boost::asio::ip;

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) {
             return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
           };
           return lower(x) == lower(y);
         });
}

// An address literal: dotted IPv4, or IPv6 in brackets. None for names and anything else.
std::optional<ip::address> AddressLiteral(std::string_view name) {
  boost::system::error_code ec;
  ip::address address;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    const std::string inner(name.substr(1, name.size() - 2));
    address = ip::make_address_v6(inner, ec);
  } else {
    address = ip::make_address_v4(std::string(name), ec);
  }
  if (ec) return std::nullopt;
  return address;
}

}  // namespace

bool IsAcceptedHost(std::string_view host, const TAcceptedHosts& accepted) {
  // The name, then ":PORT" (left out only for port 80); the name of an IPv6 literal is
  // bracketed, so the port follows the last ':' after the ']'.
  std::string_view name = host;
  std::string_view port;
  const std::size_t colon = host.rfind(':');
  const std::size_t bracket = host.rfind(']');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
    if (port != std::to_string(accepted.Port)) return false;
  } else if (accepted.Port != 80) {
    return false;
  }
  if (IEquals(name, "localhost")) return true;
  const std::optional<ip::address> address = AddressLiteral(name);
  if (!address) return false;
  if (*address == ip::address_v4::loopback() || *address == ip::address_v6::loopback()) return true;
  if (accepted.ListenAddress.empty()) return false;
  boost::system::error_code ec;
  const ip::address listen = ip::make_address(accepted.ListenAddress, ec);
  if (ec) return false;
  return listen.is_unspecified() || *address == listen;
}

std::optional<std::string> RefusalReason(const THeaders& headers, const TAcceptedHosts& accepted) {
  const std::string own = "http://127.0.0.1:" + std::to_string(accepted.Port);
  int hosts = 0;
  bool hostAccepted = false;
  for (const auto& [name, value] : headers) {
    if (IEquals(name, "Host")) {
      ++hosts;
      hostAccepted = IsAcceptedHost(value, accepted);
    }
  }
  if (hosts != 1 || !hostAccepted)
    return "Forbidden: this server answers only requests addressed to it, such as " + own + "/";
  for (const auto& [name, value] : headers) {
    const bool crossOrigin =
        IEquals(name, "Origin") &&
        (value.rfind("http://", 0) != 0 || !IsAcceptedHost(value.substr(7), accepted));
    const bool crossSite = IEquals(name, "Sec-Fetch-Site") &&
                           (IEquals(value, "cross-site") || IEquals(value, "same-site"));
    if (crossOrigin || crossSite)
      return "Forbidden: requests from pages of other sites are not served; open " + own + "/";
  }
  return std::nullopt;
}

}  // namespace uHttpServerOrigin
