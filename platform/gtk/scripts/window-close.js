// A page's window.close() becomes a navigation to about:close, which the viewer's navigation
// policy decides for the view that shows the page: the main window ends the viewer, a pop-up
// closes itself. A page may navigate there by itself, so this hook gives it nothing more.
(function () {
  'use strict';
  var here = window.location;
  window.close = function close() {
    here.href = 'about:close';
  };
})();
