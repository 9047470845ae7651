#include "views/bridgescripts.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace BridgeScripts {
namespace {

// Built-ins are taken before the page's scripts could replace them.
constexpr char handlersSource[] = R"JS(
(function () {
  'use strict';
  var stringify = JSON.stringify;
  var dispatch = EventTarget.prototype.dispatchEvent;
  var Custom = CustomEvent;
  var target = document;
  function handler(name) {
    return Object.freeze({
      postMessage: function (body) {
        var json;
        try { json = stringify(body); } catch (error) { return; }
        if (typeof json !== 'string') return;
        dispatch.call(target, new Custom('@EVENT@', { detail: stringify([name, json]) }));
      }
    });
  }
  var handlers = Object.freeze({ quarryDecide: handler('quarryDecide'), quarryZoom: handler('quarryZoom') });
  Object.defineProperty(window, 'webkit', {
    value: Object.freeze({ messageHandlers: handlers }),
    writable: false, configurable: false, enumerable: false
  });
})();
)JS";

constexpr char forwarderSource[] = R"JS(
(function () {
  'use strict';
  var stringify = JSON.stringify;
  var host = null;
  var waiting = [];
  var sending = false;
  // A page may post thousands of messages in one go: they cross the
  // channel together, once the script that posted them has finished.
  function send() {
    sending = false;
    if (host && waiting.length > 0) host.post(stringify(waiting.splice(0)));
  }
  document.addEventListener('@EVENT@', function (event) {
    var message;
    try { message = JSON.parse(event.detail); } catch (error) { return; }
    if (!Array.isArray(message) || message.length !== 2 ||
        typeof message[0] !== 'string' || typeof message[1] !== 'string') return;
    waiting.push([message[0], message[1], location.href]);
    if (host && !sending) {
      sending = true;
      Promise.resolve().then(send);
    }
  });
  function connect() {
    new QWebChannel(qt.webChannelTransport, function (channel) {
      host = channel.objects['@HOST@'];
      send();
    });
  }
  if (typeof qt !== 'undefined' && qt.webChannelTransport) connect();
  else document.addEventListener('DOMContentLoaded', connect);
})();
)JS";

QString filled(const char *source)
{
    return QString::fromUtf8(source)
        .replace(u"@EVENT@"_s, QLatin1String(eventName))
        .replace(u"@HOST@"_s, QLatin1String(hostName));
}

QString channelLibrary()
{
    QFile file(u":/qtwebchannel/qwebchannel.js"_s);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("the web channel's script is missing from Qt WebChannel");
    return QString::fromUtf8(file.readAll());
}

QWebEngineScript script(const QString &name, const QString &source, quint32 world)
{
    QWebEngineScript made;
    made.setName(name);
    made.setInjectionPoint(QWebEngineScript::DocumentCreation);
    made.setWorldId(world);
    made.setRunsOnSubFrames(false);
    made.setSourceCode(source);
    return made;
}

} // namespace

QWebEngineScript handlers()
{
    return script(u"quarrystone-handlers"_s, filled(handlersSource), QWebEngineScript::MainWorld);
}

QWebEngineScript forwarder(quint32 world)
{
    return script(u"quarrystone-forwarder"_s, channelLibrary() + filled(forwarderSource), world);
}

} // namespace BridgeScripts
