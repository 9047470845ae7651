#pragma once

#include <QWebEngineScript>

// The two scripts that carry the page's messages to the application. The
// page's own world gets only the message handlers it expects; the web
// channel lives in a world of its own, out of the page's reach.
namespace BridgeScripts {

// The event that carries a message from the page's world to the channel's.
inline constexpr char eventName[] = "quarrystone-post";
// The name the host object has on the channel.
inline constexpr char hostName[] = "quarryHost";

// window.webkit.messageHandlers.quarryDecide and .quarryZoom, frozen,
// defined before any page script runs, in the main frame only.
QWebEngineScript handlers();
// The channel's end: forwards each message with the address of the
// document that posted it, holding messages until the channel is up; the
// messages of one script cross the channel in one call.
QWebEngineScript forwarder(quint32 world);

} // namespace BridgeScripts
