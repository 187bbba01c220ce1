// Uncaught errors of a page's scripts reach the viewer with their details. Failed loads of
// images and scripts are plain events, not errors of a script, and are left alone.
(function () {
  'use strict';
  var handler = window.webkit.messageHandlers.kivaScriptError;
  window.addEventListener('error', function (event) {
    if (!event.isTrusted || !(event instanceof ErrorEvent)) return;
    handler.postMessage(JSON.stringify({
      message: String(event.message || ''),
      line: event.lineno | 0,
      character: event.colno | 0,
      code: 0,
      url: String(event.filename || window.location.href)
    }));
  }, true);
})();
