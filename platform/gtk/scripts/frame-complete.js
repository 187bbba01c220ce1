// The engine tells the viewer when the top document is complete; each frame tells it of its
// own.
(function () {
  'use strict';
  if (window.top === window) return;
  var handler = window.webkit.messageHandlers.kivaFrameComplete;
  window.addEventListener('load', function (event) {
    if (!event.isTrusted) return;
    handler.postMessage(String(window.location.href));
  });
})();
