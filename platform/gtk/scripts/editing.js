// Tells the viewer whether the keyboard is in a text field of the page, so that the window's
// keys that also edit text (Alt+Left, Alt+Right, Esc) are left to the field meanwhile.
(function () {
  'use strict';
  var handler = window.webkit.messageHandlers.kivaEditing;
  var plain = /^(button|checkbox|color|file|hidden|image|radio|range|reset|submit)$/i;
  function editing(element) {
    if (!element || element.nodeType !== 1) return false;
    if (element.isContentEditable) return true;
    if (element.readOnly || element.disabled) return false;
    return element.localName === 'textarea' ||
        (element.localName === 'input' && !plain.test(element.type));
  }
  document.addEventListener('focusin', function (event) {
    if (!event.isTrusted) return;
    handler.postMessage(editing(event.target));
  }, true);
  document.addEventListener('focusout', function (event) {
    if (event.isTrusted && editing(event.target)) handler.postMessage(false);
  }, true);
})();
