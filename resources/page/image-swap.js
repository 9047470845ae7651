(function () {
  'use strict';
  var images = {};
  var block = document.getElementById('quarrystone-img');
  if (block) {
    try {
      var parsed = JSON.parse(block.textContent);
      if (parsed !== null && typeof parsed === 'object' && !Array.isArray(parsed)) images = parsed;
    } catch (e) { /* a broken block embeds nothing */ }
  }

  function embedded(path) {
    if (!Object.prototype.hasOwnProperty.call(images, path)) return null;
    var data = images[path];
    return typeof data === 'string' && data !== '' ? data : null;
  }

  // Pictures of the plan folder come without a source, so that a page sent
  // on its own asks for no file it lacks; each gets its embedded copy, or
  // its path when there is none (the application's view reads the folder).
  // A few hundred at a time, each lot in a task of its own: a large plan
  // has thousands of pictures, and giving each its source is work enough
  // to hold the page.
  var LOT = 300;

  function give(pictures, from) {
    pictures.slice(from, from + LOT).forEach(function (image) {
      if (image.getAttribute('src') !== null) return;
      var path = image.getAttribute('data-src');
      image.setAttribute('src', embedded(path) || path);
    });
    if (from + LOT < pictures.length) setTimeout(function () { give(pictures, from + LOT); }, 0);
  }

  // Given a part of the page, only the pictures in it.
  window.quarryAssets = function (within) {
    give(Array.prototype.slice.call((within || document).querySelectorAll('img[data-src]')), 0);
  };
  window.quarryAssets();
})();
