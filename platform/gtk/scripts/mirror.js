// The browser's media player reads no registered scheme, so media elements of the book's
// pages are pointed at the session's loopback mirror of the content root; so are plain
// fetches of large entries, which the scheme moves in small pieces. The page's own script
// sees the same elements and calls; only their addresses change. The viewer fills in the
// markers before it adds the script.
(function () {
  'use strict';
  var ROOT = @ROOT@, MIRROR = @MIRROR@, BULK = new Set(@BULK@);
  var rootLower = ROOT.toLowerCase();
  function absolute(value) {
    try { return new URL(String(value), document.baseURI).href; } catch (e) { return null; }
  }
  function below(href) {
    return href && href.slice(0, ROOT.length).toLowerCase() === rootLower ?
        href.slice(ROOT.length) : null;
  }
  function mediaAddress(value) {
    var rest = below(absolute(value));
    return rest === null ? null : MIRROR + rest;
  }
  function bulkAddress(value) {
    var rest = below(absolute(value));
    if (rest === null) return null;
    rest = rest.split('#')[0];
    var path = rest.split('?')[0];
    try { path = decodeURIComponent(path.replace(/\+/g, ' ')); } catch (e) { return null; }
    path = path.replace(/\\/g, '/').replace(/[A-Z]/g, function (c) { return c.toLowerCase(); });
    return BULK.has(path) ? MIRROR + rest : null;
  }
  var HTML = 'http://www.w3.org/1999/xhtml';
  function isMedia(node) {
    return node && node.nodeType === 1 && node.namespaceURI === HTML &&
        (node.localName === 'video' || node.localName === 'audio' || node.localName === 'source');
  }
  var setAttribute = Element.prototype.setAttribute;
  var getAttribute = Element.prototype.getAttribute;
  function fix(element) {
    var value = getAttribute.call(element, 'src');
    var address = value === null ? null : mediaAddress(value);
    if (address) setAttribute.call(element, 'src', address);
  }
  // Media elements that markup puts into the document, the page's own or a fragment's, are
  // found through live lists of them: each notification costs as much as there are media
  // elements, not as many nodes as were added, so that long pages parse as fast as without.
  var lists = ['video', 'audio', 'source'].map(function (name) {
    return document.getElementsByTagNameNS(HTML, name);
  });
  new MutationObserver(function () {
    for (var i = 0; i < lists.length; i++) {
      for (var j = 0; j < lists[i].length; j++) fix(lists[i][j]);
    }
  }).observe(document, {childList: true, subtree: true, attributes: true, attributeFilter: ['src']});
  function patchSrc(proto) {
    var d = proto && Object.getOwnPropertyDescriptor(proto, 'src');
    if (!d || !d.set) return;
    Object.defineProperty(proto, 'src', {
      configurable: true, enumerable: d.enumerable, get: d.get,
      set: function (value) { d.set.call(this, mediaAddress(value) || value); }
    });
  }
  patchSrc(window.HTMLMediaElement && HTMLMediaElement.prototype);
  patchSrc(window.HTMLSourceElement && HTMLSourceElement.prototype);
  Element.prototype.setAttribute = function (name, value) {
    if (isMedia(this) && String(name).toLowerCase() === 'src') value = mediaAddress(value) || value;
    return setAttribute.call(this, name, value);
  };
  var NativeAudio = window.Audio;
  if (NativeAudio) {
    var Audio = function Audio(src) {
      return src === undefined ? new NativeAudio() : new NativeAudio(mediaAddress(src) || src);
    };
    Audio.prototype = NativeAudio.prototype;
    window.Audio = Audio;
  }
  var nativeFetch = window.fetch;
  if (nativeFetch) {
    window.fetch = function (input, init) {
      try {
        var plain = !init || ((init.method === undefined || /^(GET|HEAD)$/i.test(init.method)) &&
            init.headers === undefined && init.body === undefined);
        if (plain && (typeof input === 'string' || input instanceof URL)) {
          var address = bulkAddress(input);
          if (address) return nativeFetch.call(this, address, init);
        }
      } catch (e) {}
      return nativeFetch.apply(this, arguments);
    };
  }
  var nativeOpen = XMLHttpRequest.prototype.open;
  XMLHttpRequest.prototype.open = function (method, url) {
    var args = Array.prototype.slice.call(arguments);
    try {
      if (/^(GET|HEAD)$/i.test(method)) {
        var address = bulkAddress(url);
        if (address) args[1] = address;
      }
    } catch (e) {}
    return nativeOpen.apply(this, args);
  };
})();
