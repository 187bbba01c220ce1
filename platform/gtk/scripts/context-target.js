// The engine's hit test knows links, images, media, editable text and selections, but not
// tables or form controls; this tells the viewer what a right-click lands in before the
// engine asks about its menu.
(function () {
  'use strict';
  var handler = window.webkit.messageHandlers.kivaContextTarget;
  window.addEventListener('contextmenu', function (event) {
    if (!event.isTrusted) return;
    var target = event.target;
    if (target && !target.closest) target = target.parentElement;
    if (!target || !target.closest) return;
    handler.postMessage(target.closest('input,textarea,select,button') ? 'control' :
                        target.closest('table') ? 'table' : '');
  }, true);
})();
