(function () {
  'use strict';
  var block = document.getElementById('quarrystone-img');
  if (!block) return;
  var images;
  try { images = JSON.parse(block.textContent); } catch (e) { return; }
  if (images === null || typeof images !== 'object' || Array.isArray(images)) return;

  window.quarryAssets = function () {
    document.querySelectorAll('img[src]').forEach(function (image) {
      var path = image.getAttribute('src');
      if (!Object.prototype.hasOwnProperty.call(images, path)) return;
      var data = images[path];
      if (typeof data === 'string' && data !== '') image.setAttribute('src', data);
    });
  };
  window.quarryAssets();
})();
