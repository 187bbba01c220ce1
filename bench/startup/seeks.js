// Run in a page that holds <video id="v">, by the timeline library once the page has loaded:
// gives the video its source, then reports in the page's title the time to its metadata and
// the time of each of five seeks, in milliseconds, as "media: META SEEK SEEK SEEK SEEK SEEK".
(function () {
  'use strict';
  var video = document.getElementById('v');
  var fractions = [0.8, 0.2, 0.6, 0.4, 0.9];
  var times = [];
  function report(text) { document.title = 'media: ' + text; }
  function seek(i) {
    if (i >= fractions.length) {
      report(times.map(function (t) { return t.toFixed(0); }).join(' '));
      return;
    }
    var started = performance.now();
    video.addEventListener('seeked', function done() {
      video.removeEventListener('seeked', done);
      times.push(performance.now() - started);
      seek(i + 1);
    });
    video.currentTime = video.duration * fractions[i];
  }
  video.addEventListener('error', function () { report('error ' + (video.error && video.error.code)); });
  var started = performance.now();
  video.addEventListener('loadedmetadata', function () {
    times.push(performance.now() - started);
    seek(0);
  }, {once: true});
  video.preload = 'metadata';
  video.src = 'clip.webm';
})();
