(function () {
  'use strict';
  // Pages opened from disk share one storage in some browsers: each page keeps its own.
  var KEY = 'quarrystone.platform:' + location.pathname;
  var PLATFORMS = ['c', 'a', 'i'];
  var bar = document.querySelector('.ptabs');
  var buttons = bar ? Array.prototype.slice.call(bar.querySelectorAll('button')) : [];

  function choose(value) {
    document.body.setAttribute('data-p', value);
    buttons.forEach(function (button) {
      button.setAttribute('aria-pressed', button.getAttribute('data-p') === value ? 'true' : 'false');
    });
    try { window.localStorage.setItem(KEY, value); } catch (e) { /* storage off: nothing is remembered */ }
  }

  var stored = null;
  try { stored = window.localStorage.getItem(KEY); } catch (e) { stored = null; }
  choose(PLATFORMS.indexOf(stored) >= 0 ? stored : 'c');

  buttons.forEach(function (button) {
    button.addEventListener('click', function () {
      var value = button.getAttribute('data-p');
      if (PLATFORMS.indexOf(value) >= 0) choose(value);
    });
  });
})();
