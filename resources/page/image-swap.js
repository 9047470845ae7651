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
  // Given a part of the page, only the pictures in it.
  window.quarryAssets = function (within) {
    (within || document).querySelectorAll('img[data-src]').forEach(function (image) {
      if (image.getAttribute('src') !== null) return;
      var path = image.getAttribute('data-src');
      image.setAttribute('src', embedded(path) || path);
    });
  };
  window.quarryAssets();
})();
