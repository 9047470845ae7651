(function () {
  'use strict';
  // The web-font sheet arrives as print-only, so that waiting for it never
  // holds the first paint; once it is there the screen takes it too.
  var link = document.getElementById('web-fonts');
  if (!link) return;
  function use() { link.media = 'all'; }
  if (link.sheet) use(); else link.addEventListener('load', use);
})();
