// Tells a supervising service manager (systemd, Type=notify) how the service
// is doing, through the datagram socket named by $NOTIFY_SOCKET. Without that
// variable nothing is sent.
#pragma once

#include <string_view>

namespace host {

// Sends `state` ("READY=1", "STOPPING=1", ...). False when there is no
// supervisor or the datagram cannot be sent; the service goes on either way.
bool NotifyServiceManager(std::string_view state);

}  // namespace host
