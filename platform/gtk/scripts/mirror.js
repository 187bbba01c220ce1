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
  function scan(node) {
    if (node.nodeType !== 1) return;
    if (isMedia(node)) fix(node);
    // The parser adds each element before its children: most added elements have none to
    // look through, and a search of each would slow long pages down.
    if (node.firstElementChild) {
      var list = node.querySelectorAll('video[src],audio[src],source[src]');
      for (var i = 0; i < list.length; i++) if (isMedia(list[i])) fix(list[i]);
    }
  }
  new MutationObserver(function (records) {
    for (var i = 0; i < records.length; i++) {
      var r = records[i];
      if (r.type === 'attributes') {
        if (isMedia(r.target)) fix(r.target);
      } else {
        for (var j = 0; j < r.addedNodes.length; j++) scan(r.addedNodes[j]);
      }
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
